"""The shared helpers of tests/python/conftest.py under the name `conftest` here too.

pytest imports each folder's conftest.py as the module `conftest`, replacing the one before, so
this one carries the shared one's names: `from conftest import ...` works in either folder.
"""
import importlib.util
import pathlib
import sys

_SHARED = pathlib.Path(__file__).resolve().parents[1]
if str(_SHARED) not in sys.path:
    sys.path.insert(0, str(_SHARED))  # refine_cases, closed_forms
_spec = importlib.util.spec_from_file_location("_kelp_tests_shared", _SHARED / "conftest.py")
_shared = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_shared)
globals().update({k: v for k, v in vars(_shared).items() if not k.startswith("__")})

"""Importing kelp_wrapper: what the module holds, what it exports, and how it refuses."""
import builtins
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import numpy
import pytest

import kelp_wrapper
from conftest import missing, require_module, run_python


def test_namespace_holds_the_function_numpy_and_an_empty_test_dictionary():
    assert kelp_wrapper.np is numpy
    assert type(kelp_wrapper.__test__) is dict and kelp_wrapper.__test__ == {}
    assert kelp_wrapper.__builtins__ is builtins
    assert kelp_wrapper.__doc__ is None
    spec = kelp_wrapper.__spec__
    assert kelp_wrapper.__file__ == spec.origin
    assert kelp_wrapper.__loader__ is spec.loader
    assert kelp_wrapper.__package__ == spec.parent == ""
    assert not hasattr(kelp_wrapper, "__path__")  # not a package
    public = {n for n in vars(kelp_wrapper) if not n.startswith("__")}
    assert public == {"fit_zscan", "np"}


def test_fit_zscan_is_a_function_with_defaults_and_its_docstring():
    f = kelp_wrapper.fit_zscan
    assert f.__name__ == "fit_zscan" and f.__qualname__ == "fit_zscan"
    assert f.__module__ == "kelp_wrapper"
    assert f.__defaults__ == (False, 3)
    doc = f.__doc__
    assert doc.startswith("\n    Fit z-scan data with multi-start parallel optimization.\n")
    lines = [line.strip() for line in doc.splitlines()]
    for expected in (
        "Parameters:",
        "fit_indices: 0-indexed array of spec_pars indices to fit (e.g., [0, 2, 5] for pars 0, 2, 5).",
        "is_sa: Whether sample is saturable absorber (SA) vs reverse saturable absorber (RSA).",
        "SA centers around max of y_data, RSA centers around min of y_data.",
        "Default False (RSA).",
        "n_starts: Number of starting points (default=3)",
        "Starting values: spec_pars[fit_indices] * [0.7, 1.0, 1.3, ...]",
        "Returns:",
        "residuals, error, spec_pars (best result)",
    ):
        assert expected in lines
    assert any(line.startswith("Valid range: 0-7") for line in lines)
    assert lines.index("Parameters:") < lines.index("Returns:")


def test_file_name_and_exported_symbols():
    path = kelp_wrapper.__file__
    assert path.endswith("kelp_wrapper" + sysconfig.get_config_var("EXT_SUFFIX"))
    nm = shutil.which("nm")
    if nm is None:
        missing("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_kelp_wrapper"]


def test_reimport_returns_the_same_module_without_running_its_setup_again():
    r = run_python(textwrap.dedent("""
        import importlib, sys
        import kelp_wrapper as first
        first.__test__["mark"] = 1
        del sys.modules["kelp_wrapper"]
        second = importlib.import_module("kelp_wrapper")
        assert second is first, "a new module object"
        assert second.__test__ == {"mark": 1}, "setup ran again"
        assert sys.modules["kelp_wrapper"] is first
    """))
    assert r.returncode == 0, r.stderr


def test_a_second_interpreter_is_refused():
    _interpreters = require_module("_interpreters")
    interp = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.exec(interp, f"import sys; sys.path[:0] = {sys.path!r}; import kelp_wrapper")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == ("Interpreter change detected - this module can only be loaded into one interpreter "
                           "per process.")


def test_executing_into_another_module_object_is_refused():
    r = run_python(textwrap.dedent("""
        import importlib.util
        spec = importlib.util.find_spec("kelp_wrapper")
        early = importlib.util.module_from_spec(spec)  # created, never executed
        import kelp_wrapper
        try:
            spec.loader.exec_module(early)
        except RuntimeError as e:
            print(e)
    """))
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == ("Module 'kelp_wrapper' has already been imported. "
                                "Re-initialisation is not supported.")


# A stand-in NumPy: the type objects the module looks up, and a C-API table whose version,
# ABI and byte-order entries (slots 0, 211 and 210) return what the test asks for.
FAKE_NUMPY_INIT = """
import os
for _name in ("dtype flatiter broadcast ndarray generic number integer signedinteger unsignedinteger "
              "inexact floating complexfloating flexible character ufunc").split():
    if _name not in os.environ.get("FAKE_NUMPY_MISSING", "").split():
        globals()[_name] = type(_name, (), {})
"""
FAKE_MULTIARRAY = """
import ctypes, os
_abi, _feature, _endian = (int(v, 0) for v in os.environ["FAKE_NUMPY_API"].split(","))
_keep = []
def _returning(value):
    f = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: value)
    _keep.append(f)
    return ctypes.cast(f, ctypes.c_void_p).value
_table = (ctypes.c_void_p * 300)()
_table[0], _table[210], _table[211] = _returning(_abi), _returning(_endian), _returning(_feature)
if os.environ.get("FAKE_NUMPY_NO_CAPSULE"):
    _ARRAY_API = 0
else:
    _new = ctypes.pythonapi.PyCapsule_New
    _new.restype, _new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _ARRAY_API = _new(ctypes.addressof(_table), None, None)
"""
# Imports with the stand-in first, then again with the real NumPy.
IMPORT_TWICE = """
import sys, traceback
sys.path.insert(0, sys.argv[1])
try:
    import kelp_wrapper
except BaseException as e:
    first = e
else:
    raise SystemExit("imported with the stand-in NumPy")
print(type(first).__name__, first, sep=": ")
print(type(first.__context__).__name__, first.__context__, sep=": ")
print("init entry:", [f.name for f in traceback.extract_tb(first.__traceback__)].count("init kelp_wrapper"))
print("in sys.modules:", "kelp_wrapper" in sys.modules)
del sys.path[0]
for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
    del sys.modules[name]
import kelp_wrapper, numpy
assert kelp_wrapper.np is numpy and callable(kelp_wrapper.fit_zscan)
print("second import: ok")
"""


def import_with_fake_numpy(tmp_path, api="0x2000000,0x10,1", **env):
    pkg = tmp_path / "numpy"
    (pkg / "_core").mkdir(parents=True)
    (pkg / "__init__.py").write_text(FAKE_NUMPY_INIT)
    (pkg / "_core" / "__init__.py").write_text("")
    (pkg / "_core" / "_multiarray_umath.py").write_text(FAKE_MULTIARRAY)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), FAKE_NUMPY_API=api, **env)
    r = subprocess.run([sys.executable, "-c", IMPORT_TWICE, str(tmp_path)], capture_output=True, text=True,
                       env=environment, timeout=120)
    assert r.returncode == 0, r.stderr + r.stdout
    return r.stdout.splitlines()


@pytest.mark.parametrize("api, env, cause", [
    ("0x2000000,0xf,1", {}, "RuntimeError: module was compiled against NumPy C-API version 0x10 (NumPy 1.23) but "
                            "the running NumPy has C-API version 0xf. Check the section C-API incompatibility"),
    ("0x3000000,0x10,1", {}, "RuntimeError: module compiled against ABI version 0x2000000 but this version of "
                             "numpy is 0x3000000"),
    ("0x2000000,0x10,0", {}, "RuntimeError: FATAL: module compiled as unknown endian"),
    ("0x2000000,0x10,2", {}, "RuntimeError: FATAL: module compiled as little endian, but detected different "
                             "endianness at runtime"),
    ("0x2000000,0x10,1", {"FAKE_NUMPY_NO_CAPSULE": "1"}, "RuntimeError: _ARRAY_API is not PyCapsule object"),
])
def test_an_unusable_numpy_fails_the_import_and_the_next_import_starts_again(tmp_path, api, env, cause):
    lines = import_with_fake_numpy(tmp_path, api, **env)
    assert lines[0] == "ImportError: numpy._core.multiarray failed to import"
    assert lines[1].startswith(cause)
    assert lines[2:] == ["init entry: 1", "in sys.modules: False", "second import: ok"]


def test_a_numpy_without_its_type_objects_fails_the_import(tmp_path):
    lines = import_with_fake_numpy(tmp_path, FAKE_NUMPY_MISSING="ufunc")
    assert lines[0] == "AttributeError: module 'numpy' has no attribute 'ufunc'"
    assert lines[2:] == ["init entry: 1", "in sys.modules: False", "second import: ok"]

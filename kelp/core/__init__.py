"""The compiled core as the library sees it: the extension module kelp.core._core (the forward
models, fit_zscan's own arithmetic, the integrator watch, cancellation) and the thin Python
pieces around it.  Imports nothing of kelp above kelp.errors and kelp.files."""
import pkgutil

from kelp.errors import ToolError

# In a build tree _core is built into <build>/wrapper/kelp/core/.
__path__ = pkgutil.extend_path(__path__, __name__)


def extension():
    """The module kelp.core._core, or a ToolError that says how to build it."""
    try:
        from kelp.core import _core
    except ImportError as e:
        raise ToolError(f"the compiled core kelp.core._core is not available ({e}); build it with "
                        "scripts/build and put <build>/wrapper on PYTHONPATH, or install the package") from None
    return _core

"""Ctrl-C for the tool's fits: the fit_zscan calls running on any thread, and the refinements.

A fit on a worker thread never sees the signal, which only the main thread receives: the
thread that catches it cancels here, fit_zscan stops at its next residual evaluation, and a
refinement at its next model evaluation.
"""
import threading

_cancelled = threading.Event()


def cancel():
    """Stop every fit running now in this process."""
    _cancelled.set()
    try:
        from kelp.core import _core as _forward
    except ImportError:
        return
    _forward.cancel_fits()


def reset():
    """Fits from now on run normally (a new command or batch)."""
    _cancelled.clear()


def check():
    """Raise KeyboardInterrupt when the fits were cancelled."""
    if _cancelled.is_set():
        raise KeyboardInterrupt

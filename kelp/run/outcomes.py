"""What every batch shares, local or on a cluster: one file's outcome, the fit of a read
measurement or why there is none, its result files, the progress bar and Ctrl-C."""
import contextlib
import dataclasses
import os
import shutil
import signal
import sys
import threading

from tqdm import tqdm

from kelp.errors import ToolError
from kelp.fit.fitting import fit
from kelp.report.output import write_result

NOT_RUN = "not run: the batch was interrupted"
POLL_S = 0.05  # how often a wait for finished fits looks at Ctrl-C


@dataclasses.dataclass
class Outcome:
    path: str
    result: object = None  # FitResult when the fit succeeded
    json_path: str = None
    png_path: str = None
    message: str = None    # why it failed
    not_run: bool = False  # never fitted: the batch was interrupted first


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C during a batch: the fits not yet started were cancelled; outcomes holds every file."""

    def __init__(self, outcomes):
        super().__init__()
        self.outcomes = outcomes


def output_prefix(out_dir, path):
    stem = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(out_dir, stem + ".fit")


def fit_or_reason(measurement, settings, fit_function=None, refine_options=None):
    """The fit of one read measurement: a FitResult, or the message (str) of why there is none.
    refine_options: the keyword arguments of fitting.fit's refinement (refine, fine_grid, threads).

    Cluster workers run this too, so it must stay a module-level function (pickled by name).
    """
    try:
        return fit(measurement, settings, fit_function, **(refine_options or {}))
    except ToolError as e:
        return str(e)
    except Exception as e:  # a fault in one file's fit must not take the others down
        return f"{measurement.path}: unexpected failure: {type(e).__name__}: {e}"


def record(outcome, result, out_dir):
    """Write the result files of one fit (result: FitResult or failure message) into outcome."""
    if isinstance(result, str):
        outcome.message = result
        return outcome
    try:
        outcome.json_path, outcome.png_path = write_result(result, output_prefix(out_dir, outcome.path))
        outcome.result = result
    except OSError as e:
        outcome.message = f"{outcome.path}: cannot write the result: {e}"
    except Exception as e:
        outcome.message = f"{outcome.path}: unexpected failure: {type(e).__name__}: {e}"
    return outcome


def progress_bar(total, progress):
    # A terminal that reports a size of 0 x 0 (some pseudo-terminals) would hide the bar: 80 x 24.
    columns, lines = shutil.get_terminal_size()
    return tqdm(total=total, unit="file", desc="fitting", disable=not progress or None, ncols=columns, nrows=lines)


def report_failure(outcome):
    if outcome.message and not outcome.not_run:
        tqdm.write(f"kelp: skipped: {outcome.message}", file=sys.stderr)


@contextlib.contextmanager
def ctrl_c_event():
    """An event that Ctrl-C sets, instead of a KeyboardInterrupt wherever the main thread is.

    Raised inside a library's finaliser, the interrupt would be printed and lost; raised while a
    result is written, it would leave the outcome half recorded.  A second Ctrl-C raises as usual.
    """
    stop = threading.Event()
    ours = threading.current_thread() is threading.main_thread() and \
        signal.getsignal(signal.SIGINT) is signal.default_int_handler
    if ours:
        def handler(signum, frame):
            stop.set()
            signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGINT, handler)
    try:
        yield stop
    finally:
        if ours:
            signal.signal(signal.SIGINT, signal.default_int_handler)

"""A live line on the terminal while a single fit runs: elapsed time and model evaluations.

A fit spends minutes inside one call that holds no Python frame to report from, so the work
runs on a thread of its own and this thread redraws the line until it ends.  The evaluation
count comes from the integrator watch that the work is attached to.
"""
import sys
import threading

from kelp.core import cancellation

# Redraw interval (s): often enough to look alive, rarely enough to cost nothing.
_INTERVAL = 0.25
# How long an interrupted command waits for its fit to stop (about one model evaluation).
_CANCEL_WAIT = 10.0



def shown(quiet, stream=None):
    """Whether to show progress: on a terminal, unless -q."""
    stream = stream or sys.stderr
    return not quiet and hasattr(stream, "isatty") and stream.isatty()


def run(task, watch, enabled, desc="fitting"):
    """task() and its result; with enabled, on a worker thread while a tqdm line on stderr
    shows the time so far and watch.evaluations.  Exceptions of task are raised here."""
    if not enabled:
        return task()
    from tqdm import tqdm

    outcome = {}

    def work():
        try:
            outcome["result"] = task()
        except BaseException as e:  # handed to the waiting thread, raised there
            outcome["error"] = e

    # A daemon: an interrupted command exits without waiting for the fit to finish.
    worker = threading.Thread(target=work, name="kelp-fit", daemon=True)
    with tqdm(desc=desc, total=None, file=sys.stderr, bar_format="{desc}: {elapsed}{postfix}",
              leave=False, mininterval=0) as bar:
        worker.start()
        try:
            while worker.is_alive():
                worker.join(_INTERVAL)
                evaluations = watch.evaluations
                if evaluations:
                    bar.set_postfix_str(f"{evaluations} model evaluations", refresh=False)
                bar.refresh()
        except KeyboardInterrupt:
            # Ctrl-C reaches this thread only: the fit on the worker is told to stop too, and
            # ends at its next residual evaluation.
            cancellation.cancel()
            worker.join(_CANCEL_WAIT)
            raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]

"""Many measurements of one kind, fitted concurrently; one bad file does not stop the others.

The fits run on local threads, or on a Dask cluster (kelp_cli.cluster); either way the files
are read and the results written by this process, so both give the same files.
"""
import concurrent.futures
import contextlib
import csv
import dataclasses
import os
import shutil
import signal
import sys
import threading

from tqdm import tqdm

from kelp_cli import cancellation
from kelp_cli.errors import InputError, ToolError
from kelp_cli.files import atomic_write
from kelp_cli.fitting import fit
from kelp_cli.measurement import read_measurement
from kelp_cli.report import write_result

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


def check_distinct(paths, out_dir):
    """Two inputs with one file name would overwrite each other's result: refuse before fitting."""
    seen = {}
    for path in paths:
        prefix = output_prefix(out_dir, path)
        if prefix in seen:
            raise InputError(f"{seen[prefix]} and {path} would both write {prefix}.json; "
                             "rename one or fit them in separate runs")
        seen[prefix] = path


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


def _one(path, settings, out_dir, fit_function, fmt=None, refine_options=None):
    outcome = Outcome(path=path)
    try:
        measurement = read_measurement(path, fmt)
    except ToolError as e:
        outcome.message = str(e)
        return outcome
    return record(outcome, fit_or_reason(measurement, settings, fit_function, refine_options), out_dir)


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


def run_batch(paths, settings, out_dir, jobs=None, progress=True, fit_function=None, fmt=None, refine=True,
              fine_grid=False, scheduler=None, worker_wait=60.0):
    """Fit every file in paths with settings; returns one Outcome per path, in the order given.

    fmt: how to read the files (measurement.Format); refine, fine_grid: as for fitting.fit;
    scheduler: address of a Dask scheduler to fit on instead of local threads (jobs is then
    unused); worker_wait: seconds the cluster may go without workers before the files still
    waiting are failed.  Failures are reported on stderr as they happen.  Ctrl-C raises
    BatchInterrupted with every file's outcome, the unstarted ones marked not run.
    """
    check_distinct(paths, out_dir)
    cancellation.reset()
    if scheduler is not None:
        from kelp_cli.cluster import run_on_cluster
        return run_on_cluster(paths, settings, out_dir, scheduler, progress, fit_function, worker_wait, fmt,
                              dict(refine=refine, fine_grid=fine_grid))
    jobs = jobs or min(len(paths), os.cpu_count() or 1) or 1
    # The fits already share the cores: each refinement's Jacobian gets its share of them.
    refine_options = dict(refine=refine, fine_grid=fine_grid, threads=max(1, (os.cpu_count() or 1) // jobs))
    outcomes = [None] * len(paths)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="kelp-fit")
    with ctrl_c_event() as stop, progress_bar(len(paths), progress) as bar:
        futures = {pool.submit(_one, path, settings, out_dir, fit_function, fmt, refine_options): i
                   for i, path in enumerate(paths)}
        pending = set(futures)
        try:
            while pending:
                if stop.is_set():
                    raise KeyboardInterrupt
                done, pending = concurrent.futures.wait(pending, timeout=POLL_S,
                                                        return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    outcome = outcomes[futures[future]] = future.result()
                    report_failure(outcome)
                    bar.update(1)
        except KeyboardInterrupt:
            # Queued fits are dropped; the running ones stop at their next model evaluation.  What
            # had finished is kept; what was stopped counts as not run.
            cancellation.cancel()
            pool.shutdown(wait=True, cancel_futures=True)
            for future, i in futures.items():
                if outcomes[i] is None:
                    try:
                        outcomes[i] = None if future.cancelled() else future.result()
                    except KeyboardInterrupt:
                        pass
                    outcomes[i] = outcomes[i] or Outcome(path=paths[i], message=NOT_RUN, not_run=True)
                    report_failure(outcomes[i])
            raise BatchInterrupted(outcomes) from None
        finally:
            pool.shutdown(wait=False, cancel_futures=True)
    return outcomes


def write_summary(path, outcomes, settings):
    """One row per input file: status, error, fitted values, wall time, output files, message;
    then the refinement's columns (kelp_cli.assess.summary_columns) when any file was refined."""
    from kelp_cli.assess import summary_cells, summary_columns
    names, extra = summary_columns([o.result for o in outcomes])
    with atomic_write(path) as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["file", "status", "error"] + list(settings.fit) + ["wall_time_s", "json", "png", "message"]
                   + extra)
        for o in outcomes:
            if o.result is not None:
                r = o.result
                w.writerow([o.path, "ok", repr(r.error)] + [repr(r.fitted[p]) for p in settings.fit]
                           + [f"{r.wall_time:.3f}", o.json_path, o.png_path, ""] + summary_cells(r, names, extra))
            else:
                w.writerow([o.path, "not run" if o.not_run else "failed", ""] + [""] * len(settings.fit)
                           + ["", "", "", o.message] + summary_cells(None, names, extra))

"""Many measurements of one kind, fitted concurrently; one bad file does not stop the others.

The fits run on local threads, or on a Dask cluster (kelp.run.cluster); either way the files
are read and the results written by this process, so both give the same files.
"""
import concurrent.futures
import csv
import os

from kelp.core import cancellation
from kelp.errors import InputError, ToolError
from kelp.files import atomic_write
from kelp.io.measurement import read_measurement
from kelp.run.outcomes import (NOT_RUN, POLL_S, BatchInterrupted, Outcome, ctrl_c_event, fit_or_reason,
                               output_prefix, progress_bar, record, report_failure)


def check_distinct(paths, out_dir):
    """Two inputs with one file name would overwrite each other's result: refuse before fitting."""
    seen = {}
    for path in paths:
        prefix = output_prefix(out_dir, path)
        if prefix in seen:
            raise InputError(f"{seen[prefix]} and {path} would both write {prefix}.json; "
                             "rename one or fit them in separate runs")
        seen[prefix] = path


def _one(path, settings, out_dir, fit_function, fmt=None, refine_options=None):
    outcome = Outcome(path=path)
    try:
        measurement = read_measurement(path, fmt)
    except ToolError as e:
        outcome.message = str(e)
        return outcome
    return record(outcome, fit_or_reason(measurement, settings, fit_function, refine_options), out_dir)


def run_batch(paths, settings, out_dir, jobs=None, progress=True, fit_function=None, fmt=None, refine=True,
              fine_grid=False, scheduler=None, worker_wait=60.0, profile=False):
    """Fit every file in paths with settings; returns one Outcome per path, in the order given.

    fmt: how to read the files (measurement.Format); refine, fine_grid, profile: as for fitting.fit;
    scheduler: address of a Dask scheduler to fit on instead of local threads (jobs is then
    unused); worker_wait: seconds the cluster may go without workers before the files still
    waiting are failed.  Failures are reported on stderr as they happen.  Ctrl-C raises
    BatchInterrupted with every file's outcome, the unstarted ones marked not run.
    """
    check_distinct(paths, out_dir)
    cancellation.reset()
    if scheduler is not None:
        from kelp.run.cluster import run_on_cluster
        return run_on_cluster(paths, settings, out_dir, scheduler, progress, fit_function, worker_wait, fmt,
                              dict(refine=refine, fine_grid=fine_grid, profile=profile))
    jobs = jobs or min(len(paths), os.cpu_count() or 1) or 1
    # The fits already share the cores: each refinement's Jacobian gets its share of them.
    refine_options = dict(refine=refine, fine_grid=fine_grid, threads=max(1, (os.cpu_count() or 1) // jobs),
                          profile=profile)
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
    then the refinement's columns (kelp.fit.assess.summary_columns) when any file was refined."""
    from kelp.fit.assess import summary_cells, summary_columns
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

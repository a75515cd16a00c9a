"""Many measurements of one kind, fitted concurrently; one bad file does not stop the others."""
import concurrent.futures
import csv
import dataclasses
import os
import shutil
import sys

from tqdm import tqdm

from kelp_cli.errors import InputError, ToolError
from kelp_cli.files import atomic_write
from kelp_cli.fitting import fit
from kelp_cli.measurement import read_measurement
from kelp_cli.report import write_result


@dataclasses.dataclass
class Outcome:
    path: str
    result: object = None  # FitResult when the fit succeeded
    json_path: str = None
    png_path: str = None
    message: str = None    # why it failed


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


def _one(path, settings, out_dir, fit_function, fmt=None, refine_options=None):
    outcome = Outcome(path=path)
    try:
        result = fit(read_measurement(path, fmt), settings, fit_function, **(refine_options or {}))
        outcome.json_path, outcome.png_path = write_result(result, output_prefix(out_dir, path))
        outcome.result = result
    except ToolError as e:
        outcome.message = str(e)
    except OSError as e:
        outcome.message = f"{path}: cannot write the result: {e}"
    except Exception as e:  # a fault in one file's fit must not take the others down
        outcome.message = f"{path}: unexpected failure: {type(e).__name__}: {e}"
    return outcome


def run_batch(paths, settings, out_dir, jobs=None, progress=True, fit_function=None, fmt=None, refine=True,
              fine_grid=False):
    """Fit every file in paths with settings; returns one Outcome per path, in the order given.

    Failures are reported on stderr as they happen.  fmt: how to read the files (measurement.Format);
    refine, fine_grid: as for fitting.fit.
    """
    check_distinct(paths, out_dir)
    jobs = jobs or min(len(paths), os.cpu_count() or 1) or 1
    # The fits already share the cores: each refinement's Jacobian gets its share of them.
    refine_options = dict(refine=refine, fine_grid=fine_grid, threads=max(1, (os.cpu_count() or 1) // jobs))
    outcomes = [None] * len(paths)
    # A terminal that reports a size of 0 x 0 (some pseudo-terminals) would hide the bar: 80 x 24.
    columns, lines = shutil.get_terminal_size()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="kelp-fit") as pool, \
            tqdm(total=len(paths), unit="file", desc="fitting", disable=not progress or None, ncols=columns,
                 nrows=lines) as bar:
        futures = {pool.submit(_one, path, settings, out_dir, fit_function, fmt, refine_options): i
                   for i, path in enumerate(paths)}
        for future in concurrent.futures.as_completed(futures):
            outcome = outcomes[futures[future]] = future.result()
            if outcome.message:
                tqdm.write(f"kelp: skipped: {outcome.message}", file=sys.stderr)
            bar.update(1)
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
                w.writerow([o.path, "failed", ""] + [""] * len(settings.fit) + ["", "", "", o.message]
                           + summary_cells(None, names, extra))

"""Batch fits on a Dask cluster: this process reads the files and writes the results, workers fit.

A task carries the parsed measurement and settings, never a path, so workers need no view of
this machine's files; they need kelp itself (the same version: a result records this process's
versions).  Each worker runs one fit per thread it is given (dask worker --nthreads), each on
its own integrator, as a local batch does.
"""
import contextlib
import dataclasses
import functools
import logging
import os
import time
import uuid

from kelp.run.outcomes import (NOT_RUN, POLL_S, BatchInterrupted, Outcome, ctrl_c_event, fit_or_reason,
                               progress_bar, record, report_failure)
from kelp.errors import InputError, ToolError
from kelp.io.measurement import read_measurement

# How often the wait for finished fits asks the scheduler whether workers remain.
_WORKER_CHECK_S = 2.0


@functools.cache
def build_versions():
    """The versions of the tool and the fit module that produce a result in this process."""
    from kelp.report.document import versions
    v = versions()
    return v["kelp"], v["kelp_wrapper"]


@dataclasses.dataclass(frozen=True)
class TaskResult:
    fit: object      # FitResult, or the message of why there is none
    versions: tuple  # build_versions() of the worker


def fit_on_worker(measurement, settings, fit_function=None, refine_options=None):
    """One cluster task: the fit (or why there is none) and the versions that made it."""
    return TaskResult(fit_or_reason(measurement, settings, fit_function, refine_options), build_versions())


def _import_distributed():
    try:
        import distributed
    except ImportError as e:
        raise ToolError(f"--scheduler needs Dask's distributed package ({e}; Debian: python3-distributed, "
                        "or pip install '.[cluster]')") from None
    return distributed


def check_address(address):
    """A malformed address is refused here: a client that fails on one lingers for seconds before it goes."""
    _import_distributed()
    from distributed.comm.addressing import parse_address, parse_host_port
    from distributed.comm.registry import get_backend
    try:
        scheme, location = parse_address(address)
        get_backend(scheme)
        if scheme in ("tcp", "tls"):
            host, port = parse_host_port(location)
            if not host or not 0 < int(port) < 65536:
                raise ValueError(f"expected a host and a port from 1 to 65535, found {location!r}")
    except ValueError as e:
        raise InputError(f"expected a scheduler address such as tcp://host:8786: {e}", path=f"--scheduler {address}") \
            from None


def _connect(distributed, address):
    """A client of the scheduler at address; waits at most Dask's connect timeout (comm.timeouts.connect)."""
    try:
        return distributed.Client(address, set_as_default=False)
    except (OSError, TimeoutError) as e:
        raise ToolError(f"cannot reach the Dask scheduler at {address}: {e}") from None


@contextlib.contextmanager
def _quiet_dask():
    """Lost workers and connections are reported per file; Dask's own tracebacks would only repeat them.

    Dask's logging configuration gives some of its loggers levels of their own (distributed.client),
    so each is quieted; its event loop (tornado) logs the transfers that closing the client cut off.
    """
    names = [name for name in list(logging.root.manager.loggerDict) if name.startswith(("distributed.", "tornado."))]
    loggers = [logging.getLogger(name) for name in ["distributed", "tornado", *names]]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        for logger, level in zip(loggers, levels):
            logger.setLevel(level)


class _WorkerWatch:
    """Tells when the cluster has had no worker for longer than limit seconds (tasks would wait forever)."""

    def __init__(self, client, limit):
        self.client, self.limit = client, limit
        self.checked = self.empty_since = None

    def expired(self):
        now = time.monotonic()
        if self.checked is not None and now - self.checked < min(_WORKER_CHECK_S, self.limit / 2):
            return False
        self.checked = now
        try:
            workers = len(self.client.nthreads())
        except Exception:  # a scheduler that cannot answer has no worker for us either
            workers = 0
        if workers:
            self.empty_since = None
            return False
        if self.empty_since is None:
            self.empty_since = now
        return now - self.empty_since >= self.limit


def _why_not(path, value):
    """Why a task gave no result: its workers died, it could not run, or it was cancelled."""
    distributed = _import_distributed()
    if isinstance(value, tuple) and len(value) == 3 and isinstance(value[1], BaseException):
        error = value[1]  # as_completed's (type, exception, traceback) of a failed task
        if isinstance(error, distributed.KilledWorker):
            return (f"{path}: {error.allowed_failures + 1} workers died while fitting it (the last: "
                    f"{error.last_worker.address}); see the workers' logs")
        text = " ".join(str(error).split())
        # The scheduler unpickles the task too: where kelp is missing it fails with a RuntimeError.
        hint = " (is the same kelp installed on the scheduler and on every worker?)" if "deserializ" in text else ""
        return f"{path}: the cluster could not run the fit{hint}: {type(error).__name__}: {text}"
    reason = getattr(value, "reason", None) or "unknown"
    message = " ".join(str(getattr(value, "msg", "") or "").split())
    return f"{path}: cancelled on the cluster ({reason})" + (f": {message}" if message else "")


def _finish(outcome, value, out_dir, own_versions):
    # Judged by the value, not by the future's status: the worker that held a result fetched a
    # moment ago may die since, and the future then reads 'lost' although the result is here.
    if not isinstance(value, TaskResult):
        outcome.message = _why_not(outcome.path, value)
        return outcome
    if value.versions != own_versions:
        (cli, wrapper), (own_cli, own_wrapper) = value.versions, own_versions
        outcome.message = (f"{outcome.path}: fitted by kelp {cli} with kelp_wrapper {wrapper}, but this "
                           f"process has kelp {own_cli} with kelp_wrapper {own_wrapper}; install the same "
                           "version on every worker")
        return outcome
    return record(outcome, value.fit, out_dir)


def run_on_cluster(paths, settings, out_dir, address, progress=True, fit_function=None, worker_wait=60.0, fmt=None,
                   refine_options=None):
    """run_batch on the Dask scheduler at address; see there."""
    distributed = _import_distributed()
    check_address(address)
    outcomes = [Outcome(path=path) for path in paths]
    measurements = {}
    for i, path in enumerate(paths):
        try:
            measurements[i] = read_measurement(path, fmt)
        except ToolError as e:
            outcomes[i].message = str(e)
    own_versions = build_versions()
    with _quiet_dask(), _connect(distributed, address) as client, ctrl_c_event() as stop, \
            progress_bar(len(paths), progress) as bar:
        for outcome in outcomes:
            if outcome.message:
                report_failure(outcome)
                bar.update(1)
        # A lost worker's task runs again elsewhere (as often as the scheduler's allowed-failures says);
        # retries=1 repeats a task that could not even start (unpickling, a worker short of memory).
        token = uuid.uuid4().hex[:12]
        futures = {client.submit(fit_on_worker, m, settings, fit_function, refine_options, retries=1,
                                 key=f"kelp-fit-{os.path.basename(paths[i])}-{token}-{i}"): i
                   for i, m in measurements.items()}
        finished = distributed.as_completed(futures, loop=client.loop, with_results=True,
                                            raise_errors=False)
        watch = _WorkerWatch(client, worker_wait)
        try:
            while futures:
                if stop.is_set():
                    raise KeyboardInterrupt
                done = finished.next_batch(block=False)
                if not done:
                    if watch.expired():
                        for i in futures.values():
                            outcomes[i].message = (f"{paths[i]}: not fitted: the cluster at {address} had no "
                                                   f"worker for {worker_wait:g} s; see the workers' logs (one "
                                                   "that cannot import kelp stops at its first task)")
                            report_failure(outcomes[i])
                        break
                    time.sleep(POLL_S)
                    continue
                for future, value in done:
                    # Dropping the future lets the scheduler free the worker's copy of the result.
                    outcome = _finish(outcomes[futures.pop(future)], value, out_dir, own_versions)
                    report_failure(outcome)
                    bar.update(1)
        except KeyboardInterrupt:
            # Closing the client (leaving the with) releases its tasks: the scheduler cancels them.
            for outcome in outcomes:
                if outcome.result is None and outcome.message is None:  # also one cut off while being written
                    outcome.message, outcome.not_run = NOT_RUN, True
            raise BatchInterrupted(outcomes) from None
    return outcomes

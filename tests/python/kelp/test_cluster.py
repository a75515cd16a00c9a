"""kelp batch on a Dask cluster of loopback processes: the files of a local batch, lost workers, Ctrl-C.

Each cluster is a scheduler and worker processes on 127.0.0.1 (their HTTP endpoints too),
started and ended by the test; fits are tiny (9-15 positions x 5 x 3 points).
"""
import contextlib
import csv
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import REPO, require_module, simulate_files
from kelp.run import batch
from kelp.cli import main as cli

distributed, psutil, _ = require_module("distributed", "psutil", "kelp_wrapper")  # psutil: distributed's own

# Every path this interpreter imports from, so that workers run the modules under test.
PYTHONPATH = os.pathsep.join([str(REPO)] + [p for p in sys.path if p])
WAIT_S = 60  # bound on any wait for the cluster; far above what a healthy one needs


def _deadline_wait(condition, what, timeout=WAIT_S):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


class Cluster:
    """A scheduler and workers (no nanny: a killed worker stays dead) as child processes."""

    def __init__(self, directory, workers=2, worker_pythonpath=PYTHONPATH):
        self.directory = directory
        # One retry after a lost worker, as the README tells labs to configure their scheduler.
        # Dask's scratch space (its locks) goes to the temporary directory: the test's own.
        self.env = dict(os.environ, PYTHONPATH=PYTHONPATH, DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="1",
                        TMPDIR=str(directory))
        self.worker_env = dict(self.env, PYTHONPATH=worker_pythonpath)
        self.processes, self.client = {}, None
        try:
            scheduler_file = directory / "scheduler.json"
            self._start("scheduler", "distributed.cli.dask_scheduler", "--port", "0",
                        "--scheduler-file", str(scheduler_file))
            _deadline_wait(lambda: scheduler_file.exists() and scheduler_file.stat().st_size, "the scheduler")
            self.address = json.loads(scheduler_file.read_text())["address"]
            for n in range(workers):
                self._start(f"w{n}", "distributed.cli.dask_worker", self.address, "--name", f"w{n}", "--nthreads",
                            "1", "--no-nanny", "--local-directory", str(directory / f"w{n}"), env=self.worker_env)
            self.client = distributed.Client(self.address, set_as_default=False, timeout=WAIT_S)
            self.client.wait_for_workers(workers, timeout=WAIT_S)
        except BaseException:
            self.close()
            raise

    def _start(self, name, module, *args, env=None):
        log = open(self.directory / f"{name}.log", "w")
        # --no-dashboard still serves Dask's HTTP endpoints, on all interfaces unless told otherwise.
        self.processes[name] = subprocess.Popen(
            [sys.executable, "-m", module, *args, "--host", "127.0.0.1", "--no-dashboard",
             "--dashboard-address", "127.0.0.1:0"],
            stdout=log, stderr=subprocess.STDOUT, env=env or self.env, cwd=self.directory)
        log.close()

    def busy_worker(self):
        """Name of a live worker that holds fits, once one does, and the indices of their files."""
        found = []

        def busy():
            names = {a: w["name"] for a, w in self.client.scheduler_info()["workers"].items()}
            found[:] = [(names[a], [int(k.rsplit("-", 1)[1]) for k in keys])
                        for a, keys in self.client.processing().items()
                        if keys and a in names and self.processes[names[a]].poll() is None]
            return found

        _deadline_wait(busy, "a worker busy with a fit")
        return found[0]

    def kill(self, name):
        self.processes[name].kill()
        self.processes[name].wait(timeout=WAIT_S)

    def close(self):
        if self.client is not None:
            with contextlib.suppress(Exception):
                self.client.close(timeout=10)
        for p in self.processes.values():
            p.terminate()
        for p in self.processes.values():
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=10)


@contextlib.contextmanager
def cluster_of(directory, workers=2, **options):
    c = Cluster(directory, workers, **options)
    try:
        yield c
    finally:
        c.close()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    with cluster_of(tmp_path_factory.mktemp("cluster")) as c:
        yield c


def measurements(directory, count, points, bad=()):
    """A settings file and count noisy measurements (seeds 1..count); the indices in bad lack a cell."""
    paths = []
    for n in range(count):
        settings, path = simulate_files(directory, overrides=["k2=1e-17"], noise=1e-3, seed=n + 1, points=points,
                                        data=f"m{n}.csv")
        if n in bad:
            lines = path.read_text().splitlines(keepends=True)
            lines[3] = lines[3].rsplit(",", 1)[0] + "\n"
            path.write_text("".join(lines))
        paths.append(str(path))
    return str(settings), paths


def _settings(path):
    from kelp.io.settings import load_settings
    return load_settings(path)


def summary_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def listening(pid):
    return [c.laddr for c in psutil.Process(pid).net_connections(kind="inet") if c.status == psutil.CONN_LISTEN]


@pytest.mark.slow
def test_cluster_listens_on_loopback_only_and_the_client_not_at_all(cluster):
    for name, process in cluster.processes.items():
        addresses = listening(process.pid)
        assert addresses and {a.ip for a in addresses} == {"127.0.0.1"}, (name, addresses)
    assert listening(os.getpid()) == []


@pytest.mark.slow
def test_cluster_batch_writes_the_files_of_a_local_batch(cluster, tmp_path, capsys):
    settings, paths = measurements(tmp_path, 5, points=9, bad={3})
    common = ["batch", "-s", settings, *paths, "--set", "n_starts=1", "--no-progress"]
    tasks_before = cluster.client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.transition_counter)
    assert cli.main(common + ["-d", str(tmp_path / "local")]) == 1
    assert cli.main(common + ["-d", str(tmp_path / "remote"), "--scheduler", cluster.address]) == 1
    assert cluster.client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.transition_counter) > tasks_before
    err = capsys.readouterr().err
    assert err.count("m3.csv, line 4: expected 3 values") == 2

    local, remote = summary_rows(tmp_path / "local/summary.csv"), summary_rows(tmp_path / "remote/summary.csv")
    timing = ("wall_time_s", "json", "png")
    assert [{k: v for k, v in r.items() if k not in timing} for r in local] == \
        [{k: v for k, v in r.items() if k not in timing} for r in remote]
    assert [r["status"] for r in remote] == ["ok", "ok", "ok", "failed", "ok"]
    assert len({r["k2"] for r in remote if r["k2"]}) == 4  # four noise seeds, four fits
    for name in ("m0", "m1", "m2", "m4"):
        docs = [json.loads((tmp_path / side / f"{name}.fit.json").read_text()) for side in ("local", "remote")]
        for doc in docs:
            del doc["wall_time_s"], doc["figure_file"]
            del doc["profile"]["wall_time_s"], doc["profile"]["threads"]  # the intervals stay the same bits
        assert docs[0] == docs[1]  # every fitted value, residual and setting, bit for bit
        assert (tmp_path / "local" / f"{name}.fit.png").read_bytes() == \
            (tmp_path / "remote" / f"{name}.fit.png").read_bytes()
    assert sorted(p.name for p in (tmp_path / "remote").iterdir()) == \
        sorted(p.name for p in (tmp_path / "local").iterdir())


@pytest.mark.slow
def test_lost_workers_retry_once_then_every_file_ends_fitted_or_failed(tmp_path):
    settings, paths = measurements(tmp_path, 12, points=15)

    def batch_in_background(paths, out):
        outcomes = []
        run = threading.Thread(target=lambda: outcomes.extend(batch.run_batch(
            paths, _settings(settings), str(out), progress=False, scheduler=c.address, worker_wait=2)))
        run.start()
        return run, outcomes

    with cluster_of(tmp_path, workers=2) as c:
        # A worker dies mid-fit: its fits run again on the other one, and every file is fitted.
        run, outcomes = batch_in_background(paths[:8], tmp_path / "first")
        first, lost = c.busy_worker()
        c.kill(first)
        run.join(timeout=WAIT_S)
        assert not run.is_alive(), "the batch hung after a worker died"
        assert lost and [o.path for o in outcomes] == paths[:8]
        assert all(o.result is not None and os.path.exists(o.json_path) for o in outcomes), outcomes
        # The last worker dies: nothing is left to fit on, and the batch must not wait forever.
        run, outcomes = batch_in_background(paths[8:], tmp_path / "second")
        c.kill(c.busy_worker()[0])
        run.join(timeout=WAIT_S)
        assert not run.is_alive(), "the batch hung after its last worker died"
    assert [o.path for o in outcomes] == paths[8:]
    failed = [o for o in outcomes if o.result is None]
    assert failed and not any(o.not_run for o in outcomes)
    for o in failed:
        assert "had no worker for 2 s" in o.message or "workers died while fitting it" in o.message, o.message
    assert sorted(p.name for p in (tmp_path / "second").glob("*.json")) == \
        sorted(os.path.basename(o.json_path) for o in outcomes if o.result is not None)


@pytest.mark.slow
def test_a_lost_scheduler_fails_the_files_still_waiting(tmp_path):
    settings, paths = measurements(tmp_path, 8, points=15)
    with cluster_of(tmp_path, workers=1) as c:
        run = subprocess.Popen([sys.executable, "-m", "kelp", "batch", "-s", settings, *paths, "-d",
                                str(tmp_path / "out"), "--scheduler", c.address, "--no-progress"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                               env=dict(os.environ, PYTHONPATH=PYTHONPATH))
        try:
            c.busy_worker()
            c.kill("scheduler")
            stdout, stderr = run.communicate(timeout=WAIT_S)
        finally:
            run.kill()
            run.wait()
    assert run.returncode == 1 and "Traceback" not in stderr, stderr
    rows = summary_rows(tmp_path / "out/summary.csv")
    assert [r["file"] for r in rows] == paths and "failed" in {r["status"] for r in rows} <= {"ok", "failed"}
    for r in rows:
        assert r["status"] == "ok" or "cancelled on the cluster (scheduler-connection-lost)" in r["message"]


@pytest.mark.slow  # twelve files fitted in a child process, then the signal
@pytest.mark.parametrize("where", ["local", "cluster"])
def test_ctrl_c_cancels_the_rest_and_writes_the_summary_of_what_finished(where, request, tmp_path):
    if where == "cluster" and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # Under the sanitizer the submitting process writes each figure so slowly that the
        # workers finish every fit before the signal lands: nothing is left to cancel.
        pytest.skip("the cluster outruns the sanitized submitter")
    settings, paths = measurements(tmp_path, 12, points=15)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "kelp", "batch", "-s", settings, *paths, "-d", str(out), "--no-progress"]
    command += ["--scheduler", request.getfixturevalue("cluster").address] if where == "cluster" else ["-j", "1"]
    run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                           env=dict(os.environ, PYTHONPATH=PYTHONPATH))
    try:
        _deadline_wait(lambda: list(out.glob("*.json")) or run.poll() is not None, "the first fit")
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=WAIT_S)
    finally:
        run.kill()
        run.wait()
    assert run.returncode == 130, stderr
    rows = summary_rows(out / "summary.csv")
    assert [r["file"] for r in rows] == paths
    statuses = [r["status"] for r in rows]
    assert set(statuses) == {"ok", "not run"}, stderr
    assert sorted(p.name for p in out.glob("*.json")) == \
        sorted(os.path.basename(r["json"]) for r in rows if r["status"] == "ok")
    assert not list(out.glob(".*.tmp")) and "Traceback" not in stderr
    assert f"interrupted: fitted {statuses.count('ok')} of 12 files, {statuses.count('not run')} not run" in stderr


@pytest.mark.slow
def test_unreachable_scheduler_is_an_error_naming_it(tmp_path):
    settings, paths = measurements(tmp_path, 1, points=9)
    with socket.socket() as s:  # a loopback port with nobody behind it
        s.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{s.getsockname()[1]}"
    run = subprocess.run([sys.executable, "-m", "kelp", "batch", "-s", settings, *paths, "-d", str(tmp_path),
                          "--scheduler", address], capture_output=True, text=True, timeout=WAIT_S, cwd=tmp_path,
                         env=dict(os.environ, PYTHONPATH=PYTHONPATH, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s"))
    assert run.returncode == 1 and "Traceback" not in run.stderr
    assert f"kelp batch: error: cannot reach the Dask scheduler at {address}" in run.stderr
    assert not (tmp_path / "summary.csv").exists()


def test_bad_addresses_and_a_missing_distributed_are_errors(tmp_path, monkeypatch, capsys):
    settings, paths = measurements(tmp_path, 1, points=9)
    for address, why in (("scheduler-host", "missing port number"), ("tcp://:8786", "expected a host and a port"),
                         ("tpc://host:8786", "unknown address scheme 'tpc'")):
        assert cli.main(["batch", "-s", settings, *paths, "-d", str(tmp_path), "--scheduler", address]) == 2
        assert f"--scheduler {address}: expected a scheduler address such as tcp://host:8786: {why}" in \
            capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert cli.main(["batch", "-s", settings, *paths, "-d", str(tmp_path), "--scheduler", "tcp://host:8786"]) == 1
    assert "--scheduler needs Dask's distributed package" in capsys.readouterr().err
    assert not (tmp_path / "summary.csv").exists()


@pytest.mark.slow
def test_workers_without_kelp_leave_and_the_batch_does_not_wait_for_them(tmp_path):
    settings, paths = measurements(tmp_path, 2, points=9)
    # Such a worker cannot unpickle its first task and shuts down (with or without a nanny).
    with cluster_of(tmp_path, workers=1, worker_pythonpath="") as c:
        outcomes = batch.run_batch(paths, _settings(settings), str(tmp_path / "out"), progress=False,
                                   scheduler=c.address, worker_wait=3)
    assert [o.result for o in outcomes] == [None, None]
    for o, path in zip(outcomes, paths):
        assert o.message.startswith(f"{path}: not fitted: the cluster at {c.address} had no worker for 3 s; see "
                                    "the workers' logs"), o.message

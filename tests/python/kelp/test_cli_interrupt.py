"""Ctrl-C during `kelp fit`: the command stops within about one model evaluation, says so, and
leaves no result behind."""
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import REPO, require_module

require_module("kelp_wrapper")
require_module("kelp.core._core")

# Many starts on a finer grid: minutes of fitting, one evaluation well under a second.
LONG = ["--set", "n_starts=40", "--set", "t_slices=41", "--set", "z_slices=9", "--set", 'fit=["k2", "tau4"]']


@pytest.mark.slow  # seconds of a real fit in a child process before the signal
def test_interrupted_fit_stops_soon_and_writes_nothing(tmp_path, simulated):
    settings, data = simulated(overrides=["k2=1e-17"], noise=2e-3)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-m", "kelp", "fit", str(data), "-s", str(settings), *LONG,
                              "-o", str(tmp_path / "r")], cwd=REPO, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(3.0)  # settled inside the fit
        assert child.poll() is None, child.communicate()
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
        took = time.perf_counter() - sent
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert "kelp fit: interrupted" in err
    assert took < 5.0
    assert sorted(os.listdir(tmp_path)) == ["rsa.csv", "rsa.toml"]

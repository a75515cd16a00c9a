"""The live line of `kelp fit` on a terminal: elapsed time and model evaluations; -q and a
non-terminal stderr keep it quiet."""
import io
import sys
import time

import pytest

from conftest import require_module
from kelp.cli import main as cli
from kelp.run import progress
from test_cli import stand_in_fit

require_module("kelp.core._core")


class Terminal(io.StringIO):
    def isatty(self):
        return True


class CountingWatch:
    """Stands in for the integrator watch: the count grows as a fit's would."""

    def __init__(self):
        self.started = time.monotonic()

    @property
    def evaluations(self):
        return int((time.monotonic() - self.started) * 1000)


def slow_fit(*args, **kwargs):
    time.sleep(0.6)
    return stand_in_fit(*args, **kwargs)


def test_line_shows_time_and_evaluations_and_passes_results_and_errors(monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert progress.run(lambda: time.sleep(0.6) or 42, CountingWatch(), enabled=True) == 42
    shown = terminal.getvalue()
    assert "fitting: 00:00" in shown and " model evaluations" in shown

    def fails():
        time.sleep(0.3)
        raise ValueError("bad start")

    with pytest.raises(ValueError, match="bad start"):
        progress.run(fails, CountingWatch(), enabled=True)


@pytest.mark.parametrize("quiet, tty, shown", [(False, True, True), (True, True, False), (False, False, False)])
def test_fit_shows_progress_only_on_a_terminal_without_q(simulated, monkeypatch, capsys, quiet, tty, shown):
    settings, data = simulated(points=7)
    stderr = Terminal() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    argv = ["fit", str(data), "-s", str(settings)] + (["-q"] if quiet else [])
    assert cli.main(argv, fit_function=slow_fit) == 0
    assert ("fitting: 00:00" in stderr.getvalue()) == shown
    assert "fitting:" not in capsys.readouterr().out


# fit_zscan's residual evaluations reach the tool's counter only because kelp_wrapper and the
# forward-model module share one core: with a core of its own, kelp_wrapper would count apart.
def test_real_fit_counts_its_evaluations(simulated):
    require_module("kelp_wrapper")
    from kelp.fit.fitting import fit
    from kelp.core.integrator import IntegratorWatch
    from kelp.io.measurement import read_measurement
    from kelp.io.settings import load_settings
    settings, data = simulated(points=7)
    watch = IntegratorWatch()
    fit(read_measurement(data), load_settings(settings), watch=watch)
    assert watch.evaluations > 3  # three starts, each at least one evaluation

"""DLSODA's messages while the kelp command works: in a log and counted, never on standard output.

A 10 mJ pulse on the tiny grids makes DLSODA give up after MXSTEP steps at most positions, a
few dozen messages per evaluation.
"""
import json

import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli
from test_cli import stand_in_fit

forward = require_module("kelp.core._core")

# Pulses hot enough for DLSODA to report, on the stand-in fit's model and the figure's curve
# (fits here run without refinement, which would draw the curve at other parameters).
FAILING = ["--set", "pulse_energies=[1e-2, 2e-2]"]


def message_calls(text):
    """Calls of the message routine in a log: each writes one line of text, then 'In above' lines."""
    return sum(1 for line in text.splitlines() if not line.startswith("      In above"))


@pytest.fixture
def settings(tmp_path):
    path = tmp_path / "rsa.toml"
    path.write_text(CLI_SETTINGS)
    return path


def simulate(settings, output, *more):
    return cli.main(["simulate", "-s", str(settings), "-o", str(output), "--points", "7", *more])


def test_failing_simulation_logs_beside_the_output_and_keeps_stdout_clean(settings, tmp_path, capfd):
    out_csv = tmp_path / "hot.csv"
    assert simulate(settings, out_csv, *FAILING) == 0
    out, err = capfd.readouterr()
    log = (tmp_path / "hot.simulate.log").read_text()
    calls = message_calls(log)
    assert calls > 0 and " DLSODA-  At current T (=R1), MXSTEP (=I1) steps" in log
    assert out.splitlines() == [f"wrote {out_csv}: 2 scans x 7 positions, on-axis model",
                                f"integrator: DLSODA wrote {calls} messages ({tmp_path / 'hot.simulate.log'})"]
    assert "DLSODA" not in err
    # A later clean run replaces the data and removes the log that described the old one.
    assert simulate(settings, out_csv) == 0
    assert not (tmp_path / "hot.simulate.log").exists()
    assert capfd.readouterr().out == f"wrote {out_csv}: 2 scans x 7 positions, on-axis model\n"


def test_failing_simulation_to_stdout_sends_messages_to_stderr(settings, capfd):
    assert simulate(settings, "-", *FAILING) == 0
    out, err = capfd.readouterr()
    assert out.startswith("position_mm,") and len(out.splitlines()) == 8 and "DLSODA" not in out
    assert " DLSODA-  At current T (=R1)" in err and "integrator: DLSODA wrote" in err


def test_fit_counts_messages_in_the_json_and_logs_them(simulated, tmp_path, capfd):
    settings, data = simulated(points=7)
    capfd.readouterr()
    # The stand-in fit runs the forward model, which reports through the tool's sink.
    assert cli.main(["fit", str(data), "-s", str(settings), "--no-refine", *FAILING, "-o", str(tmp_path / "r")],
                    fit_function=stand_in_fit) == 0
    out, _ = capfd.readouterr()
    doc = json.loads((tmp_path / "r.json").read_text())
    log = (tmp_path / "r.log").read_text()
    assert doc["integrator_messages"] == message_calls(log) > 0 and doc["integrator_log"] == str(tmp_path / "r.log")
    assert "DLSODA-" not in out
    n = doc["integrator_messages"]
    assert out.splitlines()[-1] == f"integrator: DLSODA wrote {n} messages ({tmp_path / 'r.log'})"


def test_a_clean_fit_says_nothing_and_writes_no_log(simulated, tmp_path, capfd):
    settings, data = simulated(points=7)
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "r")],
                    fit_function=stand_in_fit) == 0
    assert "integrator" not in capfd.readouterr().out
    doc = json.loads((tmp_path / "r.json").read_text())
    assert doc["integrator_messages"] == 0 and doc["integrator_log"] is None and not (tmp_path / "r.log").exists()


# The real fit's messages reach the tool's sink only because kelp_wrapper and the forward-model
# module share one core: with a core of its own, fit_zscan would print them on standard output.
def test_real_fit_keeps_stdout_clean(simulated, tmp_path, capfd):
    require_module("kelp_wrapper")
    settings, data = simulated(points=9)
    capfd.readouterr()
    assert cli.main(["fit", str(data), "-s", str(settings), "--no-refine", *FAILING, "-o", str(tmp_path / "r")]) == 0
    out, _ = capfd.readouterr()
    assert "DLSODA-" not in out
    doc = json.loads((tmp_path / "r.json").read_text())
    assert doc["integrator_messages"] == message_calls((tmp_path / "r.log").read_text()) > 0


@pytest.mark.slow  # four fits whose every evaluation makes DLSODA give up
def test_results_kept_by_a_batch_hold_no_descriptors(simulated, tmp_path):
    # A batch keeps every result until its summary: a log file per result would run out of
    # descriptors after a few hundred files.
    import os
    from kelp.fit.fitting import fit
    from kelp.io.measurement import read_measurement
    from kelp.report.output import write_result
    from kelp.io.settings import load_settings
    settings, data = simulated(points=7)
    hot = load_settings(settings, ["pulse_energies=[1e-2, 2e-2]"])
    before = len(os.listdir("/proc/self/fd"))
    kept = []
    for i in range(4):
        kept.append(fit(read_measurement(data), hot, stand_in_fit, refine=False))
        write_result(kept[-1], str(tmp_path / f"r{i}"))
    assert len(os.listdir("/proc/self/fd")) <= before
    assert all(r.integrator.messages > 0 for r in kept) and (tmp_path / "r3.log").exists()


def test_the_log_of_a_run_whose_integrations_fail_stays_bounded(settings, tmp_path, capfd, monkeypatch):
    from kelp.core import integrator
    monkeypatch.setattr(integrator, "HEAD_MESSAGES", 5)
    monkeypatch.setattr(integrator, "TAIL_BYTES", 600)
    assert simulate(settings, tmp_path / "hot.csv", *FAILING, "--points", "15") == 0
    out = capfd.readouterr().out
    counted = int(out.split("DLSODA wrote ")[1].split()[0])
    log = (tmp_path / "hot.simulate.log").read_text()
    head, note, tail = log.partition(f"[kelp: {counted - 5} more messages of DLSODA were counted but not kept "
                                     "(the log holds the first 5); the end of them follows]\n")
    assert counted > 20 and note and message_calls(head.strip("\n")) == 5
    # The kept end: whole lines, the very last message among them, within the bound.
    assert 0 < len(tail.encode()) <= 600 and tail.endswith("\n") and "DLSODA-" in tail
    # On standard error (the CSV on standard output) the same bound holds.
    assert simulate(settings, "-", *FAILING, "--points", "15") == 0
    err = capfd.readouterr().err
    assert message_calls(err.split("[kelp: ")[0].strip("\n")) == 5 and "more messages of DLSODA were counted" in err

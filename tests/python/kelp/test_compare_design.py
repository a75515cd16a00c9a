"""Model comparison on simulated data (the generating model among three, the simpler one when the
extra term is zero), the runs test, kelp compare; advice on the next scan against the scan
simulated and added."""
import json

import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

import kelp  # noqa: E402
from kelp.api import measurement_from_arrays  # noqa: E402
from kelp.cli import main as cli  # noqa: E402
from kelp.fit.compare import runs_test  # noqa: E402
from kelp.fit.design import advise, energies_between  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402
from kelp.models.forward import simulate  # noqa: E402

# A dye transparent at 532 nm under 20 ps pulses: two-photon absorption alone, or pumping level
# 2 whose cross-section k2 absorbs (tau4 beyond the pulse), or with a saturable ground state.
PARAMETERS = {"k1": 0, "k2": 0, "k3": 0, "tau4": 1e-8, "tau5": 1e-7, "tau6": 1e-13, "tau7": 1e-6, "tau8": 1e-13,
              "beta": 2e-11}
BASE = {"model": "resolved", "pulse_energies": [0.2e-6, 0.4e-6, 0.8e-6], "wavelength": 532e-9, "w0": 20e-6,
        "tau": 20e-12, "sample_width": 1e-3, "t_slices": 11, "z_slices": 3, "radial_nodes": 4,
        "populations": [1e22, 0, 0, 0, 0], "n_starts": 1}
TWO_PHOTON = {**BASE, "fit": ["beta"], "parameters": PARAMETERS}
PUMPED = {**BASE, "fit": ["beta", "k2"], "parameters": {**PARAMETERS, "k2": 1e-17}}
SATURABLE = {**BASE, "fit": ["beta", "k1"], "parameters": {**PARAMETERS, "k1": 1e-20}}
X_MM = np.linspace(-8.0, 8.0, 33)


def _data(seed, **truth):
    true = settings_from_mapping({**TWO_PHOTON, "parameters": {**PARAMETERS, **truth}})
    return X_MM, simulate(true, X_MM, noise=1e-3, seed=seed)


def test_the_comparison_picks_the_generating_model_and_the_simpler_one_when_the_term_is_zero():
    c = kelp.compare_models(_data(3, k2=3e-17), [TWO_PHOTON, PUMPED, SATURABLE])
    assert c.best.fitted == ("beta", "k2") and c.weights[c.ranking[0]] > 0.99
    assert c.best.runs.p > 0.05 and all(c.candidates[i].runs.p < 1e-3 for i in c.ranking[1:])
    assert "The data support candidate 2 best" in c.sentence() and "essentially no support" in c.sentence()
    assert "candidate 1 change sign in too few runs" in c.sentence()
    best = c.best
    assert best.nfree == 99 - 2 and best.redchi == pytest.approx(best.chisqr / 97)
    assert best.aicc == pytest.approx(best.aic + 2 * 2 * 3 / (99 - 3))
    assert best.bic - best.aic == pytest.approx(2 * (np.log(99) - 2))
    # Without the pumped absorption the extra k2 buys nothing: the simpler model wins on both criteria.
    for seed in (3, 4):
        c = kelp.compare_models(_data(seed), [PUMPED, TWO_PHOTON])
        assert c.best.fitted == ("beta",), seed
        assert c.candidates[0].bic > c.candidates[1].bic
    doc = json.loads(json.dumps(c.document()))
    assert doc["criterion"] == "aicc" and doc["ranking"][0] == "candidate 2"
    assert set(doc["candidates"][0]) >= {"chisqr", "redchi", "aic", "aicc", "bic", "nfree", "runs"}


def test_runs_test_counts_sign_changes_per_scan_in_position_order():
    x = np.arange(20.0)
    alternating = np.where(np.arange(20) % 2, 1.0, -1.0)
    r = runs_test(np.vstack([alternating, -alternating]), np.vstack([x, x]))
    assert r.runs == 40 and r.expected == pytest.approx(22.0) and r.p > 0.99
    blocks = np.where(np.arange(20) < 10, 1.0, -1.0)
    r = runs_test(blocks[np.newaxis, ::-1], x[np.newaxis, ::-1])  # order follows the positions
    assert r.runs == 2 and r.p < 1e-4


def test_kelp_compare_writes_the_ranking_and_refuses_a_single_candidate(simulated, tmp_path, capsys):
    settings, data = simulated(overrides=["k2=1e-17"], noise=2e-3)
    two = tmp_path / "k2_k1.toml"
    two.write_text(settings.read_text().replace('fit = ["k2"]', 'fit = ["k2", "k1"]'))
    assert cli.main(["compare", str(data), "-s", str(settings), "-s", str(two), "-o", str(tmp_path / "cmp"),
                     "-q"]) == 0
    out = capsys.readouterr().out
    assert "comparison of 2 candidates" in out and "AICc" in out and "The data support" in out
    doc = json.loads((tmp_path / "cmp.json").read_text())
    assert [c["name"] for c in doc["candidates"]] == ["rsa.toml", "k2_k1.toml"]
    assert sorted(doc["ranking"]) == ["k2_k1.toml", "rsa.toml"] and doc["settings_files"][1] == str(two)
    assert cli.main(["compare", str(data), "-s", str(settings)]) == 2
    assert "expected at least two candidates" in capsys.readouterr().err


def _with_scan(measurement, s, energy, seed):
    """The measurement with one more scan at energy, simulated at the truth with the same noise."""
    one = cases.settings(list(s.fit), pulse_energies=[energy], start_factor=1.0)
    new = cases.measurement(one, noise=2e-3, seed=seed)
    return measurement_from_arrays(measurement.positions, np.vstack([measurement.transmittance, new.transmittance]),
                                   s.pulse_energies + (energy,))


@pytest.mark.slow  # four fits
def test_the_advised_scan_delivers_the_standard_error_it_promises():
    s = cases.settings(["k1", "k2"], pulse_energies=[0.5e-6, 1e-6], start_factor=1.0)
    m = cases.measurement(s, noise=2e-3)
    advice = advise(fit(m, s), energies_between(0.25e-6, 16e-6, 7))
    assert advice.parameter == "k1" and advice.pair == ("k1", "k2") and advice.correlation_now < -0.98
    scan = advice.scans[advice.best]
    # The advised scan shrinks the target most of all candidates, and more than any lower energy.
    assert scan.standard_errors["k1"] == min(c.standard_errors["k1"] for c in advice.scans) < 0.2 * advice.now["k1"]
    assert advice.sentence().startswith(f"A scan at {scan.energy * 1e6:.3g} µJ would bring k1 from ±")
    for seed in (11, 12, 13):
        s3 = cases.settings(["k1", "k2"], pulse_energies=[0.5e-6, 1e-6, scan.energy], start_factor=1.0)
        after = fit(_with_scan(m, s3, scan.energy, seed), s3).refined.standard_errors["k1"]
        assert after == pytest.approx(scan.standard_errors["k1"], rel=0.2), seed


def test_advice_through_the_command_and_a_closed_aperture_scan_that_the_model_cannot_give(simulated, tmp_path,
                                                                                          capsys):
    settings, data = simulated(overrides=["k2=1e-17"], noise=2e-3)
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "a"), "-q", "--no-profile",
                     "--advise", "0.5e-6:4e-6:4"]) == 0
    out = capsys.readouterr().out
    assert "next scan: predicted standard errors with one more scan:" in out and "<- advised" in out
    doc = json.loads((tmp_path / "a.json").read_text())["advice"]
    assert [c["pulse_energy_J"] for c in doc["candidates"]] == pytest.approx([0.5e-6, 1e-6, 2e-6, 4e-6])
    assert doc["parameter"] == "k2" and doc["advice"].startswith("A scan at ")
    report = kelp.fit_measurement(str(data), str(settings), profile=False)
    closed = kelp.advise_scan(report, (0.5e-6, 4e-6, 3), detector="closed")
    assert closed.best is None and closed.skipped == ("closed-aperture scans: the on-axis model does not compute "
                                                      "them",)
    assert closed.sentence().startswith("No candidate scan could be evaluated: closed-aperture")
    assert cli.main(["fit", str(data), "-s", str(settings), "-q", "--advise", "4e-6:1e-6"]) == 2
    assert "--advise: expected LOW:HIGH[:N]" in capsys.readouterr().err

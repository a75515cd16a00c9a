"""The beam fitted with the sample: the waist recovered from simulated scans, a focus per file, a
baseline per scan; standard deviations as the fit's weights; a calibration on a reference and
the sample's fit that takes its beam, with the beam's error carried as a systematic one."""
import dataclasses
import json

import numpy as np
import pytest

import refine_cases as cases
from conftest import CLI_SETTINGS, require_module

require_module("kelp.core._core", "scipy", "kelp_wrapper")

from kelp.cli import main as cli  # noqa: E402

from kelp.fit.fitting import fit  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402

TRUE_W0 = 19e-6


def truth(s, **changes):
    return settings_from_mapping({**s.to_dict(), "w0": TRUE_W0, **changes})


@pytest.mark.parametrize("fitted", [["w0"], ["k2", "w0"]])
def test_the_waist_is_recovered_within_its_standard_error(fitted):
    # The header's waist is 12 um; the scans were made with 19 um (and, unknown or not, k2 = 1e-17).
    s = cases.settings(fitted, w0=12e-6, pulse_energies=[0.5e-6, 1e-6, 2e-6])
    m = cases.measurement(truth(s), noise=1e-3, points=21, seed=4)
    a = fit(m, s).refined
    assert a.names == tuple(fitted)
    for name, value in (("w0", TRUE_W0), ("k2", 1e-17)):
        if name in fitted:
            assert abs(a.parameters[name] - value) < 2.5 * a.standard_errors[name], (name, a.parameters, a.standard_errors)
            assert a.standard_errors[name] < 0.05 * value
    if len(fitted) == 2:
        assert np.isfinite(a.correlation[0, 1]) and abs(a.correlation[0, 1]) < 0.99


def test_a_focus_per_file_and_a_baseline_per_scan_are_fitted():
    s = cases.settings(["k2", "focus", "offset", "tilt"])
    true = cases.measurement(s, points=21)
    x = true.positions
    # File 1 holds scan 1 with its focus at +0.7 mm; file 2 scan 2 at -1.1 mm; each scan on a
    # tilted baseline of its own.
    y = np.array([cases.measurement(s, points=21, focus=f).transmittance[k] for k, f in enumerate((0.7, -1.1))])
    baseline = ((0.01, 2e-4), (-0.02, -3e-4))
    m = dataclasses.replace(true, files=("a.txt", "b.txt"), file_of=(0, 1), transmittance=np.array(
        [y[k] * (1 + off + tilt * (x - x[np.argmin(y[0])])) for k, (off, tilt) in enumerate(baseline)]))
    a = fit(m, s).refined
    assert a.names == ("k2", "focus_1", "focus_2", "offset_1", "offset_2", "tilt_1", "tilt_2")
    assert a.parameters["focus_1"] == pytest.approx(0.7, abs=1e-3)
    assert a.parameters["focus_2"] == pytest.approx(-1.1, abs=1e-3)
    assert a.parameters["k2"] == pytest.approx(1e-17, rel=1e-3)
    # The baseline is relative to the focus the fit finds; its level shows up as is.
    assert [a.parameters[f"offset_{k}"] for k in (1, 2)] == pytest.approx([0.01, -0.02], abs=2e-3)
    assert [a.parameters[f"tilt_{k}"] for k in (1, 2)] == pytest.approx([2e-4, -3e-4], abs=1e-5)


def test_standard_deviations_weight_the_fit_so_an_uncertain_point_barely_pulls():
    s = cases.settings(["k2"])
    m = cases.measurement(s, noise=1e-3, points=21, seed=2)
    y = m.transmittance.copy()
    y[1, 9] -= 0.05  # one bad point beside the focus
    sd = np.full(y.shape, 1e-3)
    fitted = {}
    for name, bad_sd in (("trusted", 1e-3), ("flagged", 1.0)):
        sd[1, 9] = bad_sd
        result = fit(dataclasses.replace(m, transmittance=y, deviation=sd.copy()), s)
        fitted[name] = result.refined.parameters["k2"]
        assert result.notes and "only the refinement's start" in result.notes[0]
    clean = fit(m, s).refined.parameters["k2"]
    assert abs(fitted["flagged"] / clean - 1) < 0.1 * abs(fitted["trusted"] / clean - 1)


def test_calibrate_then_fit_carries_the_beam_into_the_samples_result(tmp_path, capsys):
    reference = CLI_SETTINGS.replace('fit = ["k2"]', 'fit = ["w0"]').replace("k2 = 2e-17", "k2 = 1e-17")
    (tmp_path / "cs2.toml").write_text(reference.replace("w0 = 20e-6", "w0 = 12e-6"))
    (tmp_path / "truth.toml").write_text(reference.replace("w0 = 20e-6", f"w0 = {TRUE_W0}"))
    ref_data, sample_data = tmp_path / "cs2.csv", tmp_path / "sample.csv"
    for path, k2, seed in ((ref_data, 1e-17, 5), (sample_data, 2.5e-17, 6)):
        assert cli.main(["simulate", "-s", str(tmp_path / "truth.toml"), "--set", f"k2={k2}", "-o", str(path),
                         "--points", "21", "--noise", "1e-3", "--seed", str(seed)]) == 0
    assert cli.main(["calibrate", str(ref_data), "-s", str(tmp_path / "cs2.toml")]) == 0
    out = capsys.readouterr().out
    beam = (tmp_path / "cs2.beam.toml").read_text()
    assert "beam: " in out and f'reference = "{ref_data}"' in beam and "date = " in beam
    calibration = json.loads((tmp_path / "cs2.calibrate.json").read_text())["refined"]
    assert abs(calibration["parameters"]["w0"] - TRUE_W0) < 3 * calibration["standard_errors"]["w0"]
    sample = CLI_SETTINGS.replace("w0 = 20e-6\nM2 = 1.0\n", 'beam = "cs2.beam.toml"\n')
    (tmp_path / "sample.toml").write_text(sample)
    assert cli.main(["fit", str(sample_data), "-s", str(tmp_path / "sample.toml")]) == 0
    doc = json.loads((tmp_path / "sample.fit.json").read_text())
    a = doc["refined"]
    assert doc["settings"]["w0"] == calibration["parameters"]["w0"] and doc["beam"]["source"].endswith("cs2.beam.toml")
    assert abs(a["parameters"]["k2"] - 2.5e-17) < 3 * np.hypot(a["standard_errors"]["k2"], a["systematic_errors"]["k2"])
    assert 0 < a["systematic_errors"]["k2"] < 0.5 * 2.5e-17
    assert "systematic, from the beam of" in capsys.readouterr().out
    # A sample at another wavelength cannot take this waist; a calibration must fit the beam only.
    (tmp_path / "green.toml").write_text(sample.replace("wavelength = 532e-9", "wavelength = 1064e-9"))
    assert cli.main(["fit", str(sample_data), "-s", str(tmp_path / "green.toml")]) == 2
    assert cli.main(["calibrate", str(ref_data), "-s", str(tmp_path / "cs2.toml"), "--set", 'fit=["w0", "k2"]']) == 2
    err = capsys.readouterr().err
    assert "calibrated at 5.32e-07 m, but the wavelength is 1.064e-06 m" in err
    assert "a calibration fits the beam on a reference whose coefficients are known" in err

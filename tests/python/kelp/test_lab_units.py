"""What a lab knows (a pulse's FWHM, a concentration, a linear transmittance, an average power)
converted exactly to the model's units, recorded beside them; a simulation of any
non-negative parameter; data that cannot be a Z-scan refused before the fit, writing nothing."""
import json
import math

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli
from kelp.errors import InputError
from kelp.io.settings import settings_from_mapping

require_module("kelp.core._core")

BASE = dict(pulse_energies=[1e-6], wavelength=532e-9, w0=20e-6, tau=1e-10, sample_width=2e-3,
            populations=[1e20, 0, 0, 0, 0], fit=["k2"],
            parameters=dict(k1=3e-18, k2=1e-17, k3=1e-17, tau4=1e-9, tau5=1e-8, tau6=1e-13, tau7=1e-6, tau8=1e-13))


def settings(**changes):
    data = {**BASE, **changes}
    for key in [k for k, v in changes.items() if v is None]:
        del data[key]
    return settings_from_mapping(data)


def test_lab_units_become_the_models_exactly():
    s = settings(tau=None, tau_fwhm=15e-12)
    # exp(-(t/tau)^2) falls to one half at t = tau sqrt(ln 2): the FWHM is 2 sqrt(ln 2) tau.
    assert math.exp(-(7.5e-12 / s.tau) ** 2) == pytest.approx(0.5, rel=1e-15) and s.given == {"tau_fwhm": 15e-12}
    by_density = settings(populations=None, number_density=6.02214076e17)
    by_concentration = settings(populations=None, concentration=1e-3)  # 1 mmol/L: N_A / 1e6 per cm^3
    assert by_density.populations == pytest.approx(by_concentration.populations, rel=1e-15)
    assert by_density.populations == (6.02214076e19, 0, 0, 0, 0)  # per cm^2 per m: 100 x per cm^3
    # The unit chain: N1 (cm^-2 m^-1) / 100 is per cm^3; alpha = k1 n per cm; L in cm.
    s = settings(populations=None, linear_transmittance=0.8)
    n_per_cm3 = s.populations[0] / 100
    assert math.exp(-3e-18 * n_per_cm3 * (2e-3 * 100)) == pytest.approx(0.8, rel=1e-14)
    s = settings(pulse_energies=None, average_powers=[5e-3, 10e-3], repetition_rate=1e3)
    assert s.pulse_energies == (5e-6, 10e-6)
    assert s.given == {"average_powers": [5e-3, 10e-3], "repetition_rate": 1e3}
    for bad, words in ((dict(tau_fwhm=1e-12), "'tau' and 'tau_fwhm' give the same quantity twice"),
                       (dict(populations=None, linear_transmittance=1.2), "expected a number between 0 and 1"),
                       (dict(populations=None, concentration=1e-3, number_density=1e17), "give the same quantity"),
                       (dict(pulse_energies=None, average_powers=[1e-3]), "missing setting 'repetition_rate'")):
        with pytest.raises(InputError, match=words):
            settings(**bad)


def test_the_result_records_what_was_given_and_what_was_used(tmp_path):
    require_module("kelp_wrapper")
    text = CLI_SETTINGS.replace("tau = 100e-12", "tau_fwhm = 166.51e-12").replace(
        "pulse_energies = [0.5e-6, 1.0e-6]", "average_powers = [0.5e-3, 1.0e-3]\nrepetition_rate = 1000")
    (tmp_path / "lab.toml").write_text(text)
    (tmp_path / "rsa.toml").write_text(CLI_SETTINGS)
    data = tmp_path / "d.csv"
    assert cli.main(["simulate", "-s", str(tmp_path / "rsa.toml"), "--set", "k2=1e-17", "-o", str(data)]) == 0
    assert cli.main(["fit", str(data), "-s", str(tmp_path / "lab.toml"), "--set", "n_starts=1", "--no-refine"]) == 0
    doc = json.loads((tmp_path / "d.fit.json").read_text())
    assert doc["settings_given"] == {"tau_fwhm": 166.51e-12, "average_powers": [0.5e-3, 1e-3], "repetition_rate": 1000}
    assert doc["settings"]["pulse_energies"] == [0.5e-6, 1e-6]
    assert doc["settings"]["tau"] == pytest.approx(1e-10, rel=1e-4)


def test_simulate_takes_any_non_negative_value_of_a_fitted_parameter(tmp_path):
    (tmp_path / "rsa.toml").write_text(CLI_SETTINGS)
    out = tmp_path / "zero.csv"
    assert cli.main(["simulate", "-s", str(tmp_path / "rsa.toml"), "--set", "k2=0", "-o", str(out)]) == 0
    assert cli.main(["simulate", "-s", str(tmp_path / "rsa.toml"), "--set", "k2=-1", "-o", str(out)]) == 2
    assert cli.main(["fit", str(out), "-s", str(tmp_path / "rsa.toml"), "--set", "k2=0"]) == 2


def clean_rows(tmp_path):
    (tmp_path / "rsa.toml").write_text(CLI_SETTINGS)
    data = tmp_path / "scan.csv"
    assert cli.main(["simulate", "-s", str(tmp_path / "rsa.toml"), "--set", "k2=1e-17", "-o", str(data),
                     "--points", "15"]) == 0
    return data.read_text().splitlines()


def _with(lines, row, column, value):
    cells = lines[row].split(",")
    cells[column] = value
    return lines[:row] + [",".join(cells)] + lines[row + 1:]


def test_data_that_cannot_be_a_zscan_is_refused_naming_the_point_and_nothing_is_written(tmp_path, capsys):
    lines = clean_rows(tmp_path)
    same = [lines[0]] + [",".join(["12.5"] + line.split(",")[1:]) for line in lines[1:]]
    cases = {
        "absurd": (_with(lines, 8, 1, "1e308"), "line 9: column 'T_5e-07_J': a transmittance of 1e+308 is not a "
                                                "normalised one"),
        "negative": (_with(lines, 3, 2, "-0.02"), "line 4: column 'T_1e-06_J': a transmittance of -0.02 is impossible"),
        "zero": (_with(lines, 3, 2, "0"), "line 4: column 'T_1e-06_J': a transmittance of 0 is impossible"),
        "same position": (same, "line 2: column 'position_mm': the positions of scan 'T_5e-07_J' do not span a scan "
                                "(all at 12.5 mm)"),
        "too few positions": ([lines[0]] + [",".join([str(i % 3)] + line.split(",")[1:])
                                            for i, line in enumerate(lines[1:])],
                              "line 2: column 'position_mm': the positions of scan 'T_5e-07_J' do not span a scan "
                              "(only 3 distinct positions)"),
        "far stage": (_with(lines, 2, 0, "5e9"), "line 3: column 'position_mm': a position of 5e+09 mm"),
    }
    for name, (rows, words) in cases.items():
        d = tmp_path / name.replace(" ", "_")
        d.mkdir()
        data = d / "scan.csv"
        data.write_text("\n".join(rows) + "\n")
        assert cli.main(["fit", str(data), "-s", str(tmp_path / "rsa.toml")]) == 2, name
        err = capsys.readouterr().err
        assert f"{data}, {words}" in err and err.count("\n") == 1, (name, err)
        assert sorted(p.name for p in d.iterdir()) == ["scan.csv"], name


def test_raw_looking_wings_are_fitted_with_a_warning(tmp_path):
    require_module("kelp_wrapper")
    lines = clean_rows(tmp_path)
    data = tmp_path / "raw.csv"
    data.write_text("\n".join([lines[0]] + [",".join([line.split(",")[0]] + [repr(float(v) * 3.2) for v in
                                                                              line.split(",")[1:]])
                                            for line in lines[1:]]) + "\n")
    assert cli.main(["fit", str(data), "-s", str(tmp_path / "rsa.toml"), "--set", "n_starts=1", "--no-refine"]) == 0
    warnings = json.loads((tmp_path / "raw.fit.json").read_text())["warnings"]
    assert any("its wings average 3.2, not 1" in w and "normalise = true" in w for w in warnings), warnings
    assert np.isfinite(json.loads((tmp_path / "raw.fit.json").read_text())["error"])

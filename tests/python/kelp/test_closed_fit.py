"""Open and closed scans of one sample fitted together: the settings that declare each scan's
detector, the Kerr index with two-photon absorption and the refraction of an excited level
recovered from noise-free scans, the columns kelp simulate writes, and the figure's panels."""
import numpy as np
import pytest

from conftest import require_module

require_module("kelp.core._core", "scipy", "matplotlib")

import kelp  # noqa: E402
from kelp.errors import InputError  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402
from kelp.models.forward import simulate  # noqa: E402

# A Kerr medium with weak two-photon absorption at three energies, each behind both detectors.
KERR = {
    "model": "resolved", "pulse_energies": [0.25e-6, 0.5e-6, 1e-6] * 2,
    "apertures": ["open"] * 3 + ["closed"] * 3, "aperture_S": 0.3, "wavelength": 532e-9, "w0": 20e-6,
    "tau": 20e-12, "sample_width": 1e-3, "t_slices": 11, "z_slices": 3, "radial_nodes": 4,
    "populations": [0, 0, 0, 0, 0], "n_starts": 1, "fit": ["n2", "beta"],
    "parameters": {"k1": 0, "k2": 0, "k3": 0, "tau4": 1e-9, "tau5": 1e-8, "tau6": 1e-13, "tau7": 1e-6,
                   "tau8": 1e-13, "beta": 1e-11, "n2": 3e-18},
}
X_MM = np.linspace(-12.0, 12.0, 41)


def _recovered(mapping, truth, start_factor):
    true_settings = settings_from_mapping({**mapping, "parameters": {**mapping["parameters"], **truth}})
    scans = simulate(true_settings, X_MM)
    start = {**mapping["parameters"], **{n: v * start_factor for n, v in truth.items()}}
    return kelp.fit_measurement((X_MM, scans), {**mapping, "parameters": start}, profile=False).parameters


def test_settings_declare_each_scans_detector():
    s = settings_from_mapping(KERR)
    assert s.detectors() == ("open",) * 3 + ("closed",) * 3 and s.aperture_S == 0.3
    assert s.to_dict()["apertures"] == list(KERR["apertures"])
    assert "apertures" not in settings_from_mapping({**KERR, "apertures": ["open"] * 6}).to_dict()
    defocusing = settings_from_mapping({**KERR, "parameters": {**KERR["parameters"], "n2": -3e-18}})
    x = np.linspace(-6, 6, 13)
    focusing, mirrored = simulate(s, x), simulate(defocusing, x)
    # A positive n2 puts the valley before the focus; its opposite mirrors the closed scans.
    assert np.argmin(focusing[5]) < 6 < np.argmax(focusing[5])
    assert np.allclose(mirrored[5] - 1, (focusing[5] - 1)[::-1], rtol=0, atol=0.02 * np.ptp(focusing[5]))
    for change, words in (({"aperture_S": 1.0}, "setting 'aperture_S': expected a number between 0 and 1"),
                          ({"apertures": ["open", "closed"]}, "expected a list of 6 detectors"),
                          ({"apertures": ["open"] * 5 + ["shut"]}, "expected a list of 6 detectors")):
        with pytest.raises(InputError, match=words):
            settings_from_mapping({**KERR, **change})
    without = {k: v for k, v in KERR.items() if k != "aperture_S"}
    with pytest.raises(InputError, match="missing setting 'aperture_S'"):
        settings_from_mapping(without)
    with pytest.raises(InputError, match="the on-axis model gives the transmittance an open detector measures"):
        settings_from_mapping({**without, "model": "on-axis", "fit": ["k2"], "aperture_S": 0.3,
                               "parameters": {k: v for k, v in KERR["parameters"].items() if k not in ("beta", "n2")}
                               | {"k2": 1e-17}})


def test_n2_and_beta_are_recovered_together_from_open_and_closed_scans():
    found = _recovered(KERR, {"n2": 3e-18, "beta": 1e-11}, 1.6)
    assert found["n2"] == pytest.approx(3e-18, rel=1e-5)
    assert found["beta"] == pytest.approx(1e-11, rel=1e-5)


def test_the_refraction_of_an_excited_level_is_recovered_with_its_absorption():
    # A dye: k1 pumps level 2 (long-lived on the pulse's scale), whose absorption k2 and
    # refraction kr2 the scans measure; ns pulses, so the phase follows the fluence.
    dye = {**KERR, "populations": [1e20, 0, 0, 0, 0], "tau": 5e-9, "fit": ["kr2", "k1", "k2"],
           "parameters": {**KERR["parameters"], "beta": 0, "n2": 0, "k1": 1e-18, "k2": 1e-17, "kr2": 1e-17,
                          "tau4": 1e-6, "tau5": 1e-5}}
    truth = {"kr2": 1e-17, "k1": 1e-18, "k2": 1e-17}
    found = _recovered(dye, truth, 1.3)
    for name, value in truth.items():
        assert found[name] == pytest.approx(value, rel=1e-4)


def test_simulate_names_the_closed_columns_and_the_figure_has_a_panel_per_detector(simulated, tmp_path):
    from conftest import CLI_SETTINGS
    settings = CLI_SETTINGS.replace('fit = ["k2"]', 'fit = ["k2"]\nmodel = "resolved"\naperture_S = 0.1\n'
                                    'apertures = ["open", "divided"]')
    _, data = simulated(settings=settings, points=9)
    assert open(data).readline().strip() == "position_mm,T_5e-07_J,T_1e-06_J_divided"
    result = kelp.fit_measurement(str(data), str(tmp_path / "rsa.toml"), refine=False)
    figure = result.figure()
    labels = [axis.get_ylabel() for axis in figure.axes]
    assert len(labels) == 4 and sum("divided aperture" in label for label in labels) == 1

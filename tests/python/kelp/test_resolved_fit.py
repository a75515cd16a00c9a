"""Fitting the resolved model's instantaneous absorption: the settings that name it, the fit
that recovers it from noise-free scans (alone, and with the excited-state absorption it pumps),
and the table in the units labs quote."""
import numpy as np
import pytest

from conftest import require_module

require_module("kelp.core._core", "scipy")

import kelp  # noqa: E402
from kelp.errors import InputError  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402
from kelp.models.forward import simulate  # noqa: E402

# ZnSe-like two-photon absorber at 532 nm, 20 ps pulses, 1 mm: q0 about 0.5 and 1 at the focus.
TWO_PHOTON = {
    "model": "resolved", "pulse_energies": [0.2e-6, 0.4e-6], "wavelength": 532e-9, "w0": 20e-6, "tau": 20e-12,
    "sample_width": 1e-3, "t_slices": 11, "z_slices": 3, "radial_nodes": 4, "populations": [0, 0, 0, 0, 0],
    "n_starts": 1, "fit": ["beta"],
    "parameters": {"k1": 0, "k2": 0, "k3": 0, "tau4": 1e-9, "tau5": 1e-8, "tau6": 1e-13, "tau7": 1e-6,
                   "tau8": 1e-13, "beta": 5.8e-11},
}
X_MM = np.linspace(-8.0, 8.0, 33)


def _fit(mapping, truth, start_factor, **kwargs):
    """Simulate at truth, then fit from truth times start_factor; the refined values."""
    true_settings = settings_from_mapping({**mapping, "parameters": {**mapping["parameters"], **truth}})
    scans = simulate(true_settings, X_MM)
    start = {**mapping["parameters"], **{n: v * start_factor for n, v in truth.items()}}
    return kelp.fit_measurement((X_MM, scans), {**mapping, "parameters": start}, **{"profile": False, **kwargs})


def test_settings_name_the_terms_of_the_model_that_has_them():
    s = settings_from_mapping(TWO_PHOTON)
    assert (s.parameters["beta"], s.parameters["alpha0"], s.parameters["gamma"]) == (5.8e-11, 0.0, 0.0)
    legacy = settings_from_mapping({**TWO_PHOTON, "model": "open-aperture"})
    x = np.linspace(-4, 4, 9)
    assert np.array_equal(simulate(legacy, x), simulate(s, x))  # the old name is an alias
    on_axis = {**TWO_PHOTON, "model": "on-axis", "fit": ["k2"], "populations": [1e20, 0, 0, 0, 0],
               "parameters": {**TWO_PHOTON["parameters"], "k2": 1e-17}}
    with pytest.raises(InputError, match="parameter 'beta': the on-axis model has no such term"):
        settings_from_mapping(on_axis)
    with pytest.raises(InputError, match="the on-axis model has no parameter 'beta'"):
        settings_from_mapping({**on_axis, "fit": ["beta"], "parameters": {**on_axis["parameters"], "beta": 0}})
    with pytest.raises(InputError, match="parameter 'gamma': expected a non-negative number in m³/W²"):
        settings_from_mapping({**TWO_PHOTON, "parameters": {**TWO_PHOTON["parameters"], "gamma": -1e-20}})
    # Absorbing more strongly is absorbing more: a larger beta transmits less.
    stronger = settings_from_mapping({**TWO_PHOTON, "parameters": {**TWO_PHOTON["parameters"], "beta": 1e-10}})
    assert np.all(simulate(stronger, x) <= simulate(s, x)) and simulate(stronger, x).min() < simulate(s, x).min()


def test_beta_alone_is_recovered_and_shown_in_cm_per_gw():
    result = _fit(TWO_PHOTON, {"beta": 5.8e-11}, 2.0)
    assert result.parameters["beta"] == pytest.approx(5.8e-11, rel=1e-6)
    assert "(= 5.8 ± " in str(result) and "cm/GW" in str(result)
    assert result.document["parameter_units"]["beta"] == "m/W"


def test_beta_and_the_excited_state_absorption_it_pumps_are_recovered_together():
    # A dye transparent at the wavelength (k1 = 0): two-photon absorption fills level 2, whose
    # cross-section k2 absorbs for as long as the level lives (tau4, tau5 beyond the pulse).
    dye = {**TWO_PHOTON, "populations": [1e22, 0, 0, 0, 0], "pulse_energies": [0.2e-6, 0.4e-6, 0.8e-6],
           "fit": ["beta", "k2"], "parameters": {**TWO_PHOTON["parameters"], "tau4": 1e-8, "tau5": 1e-7}}
    truth = {"beta": 2e-11, "k2": 3e-17}
    without_pumping = settings_from_mapping({**dye, "fit": ["beta"], "parameters": {**dye["parameters"], "beta": 2e-11}})
    pumped = settings_from_mapping({**dye, "parameters": {**dye["parameters"], **truth}})
    # The pumped absorption grows with the energy faster than two-photon absorption alone.
    gap = simulate(without_pumping, X_MM).min(axis=1) - simulate(pumped, X_MM).min(axis=1)
    assert np.all(gap > 0) and gap[2] / gap[0] > 4
    result = _fit(dye, truth, 1.5)
    for name, value in truth.items():
        assert result.parameters[name] == pytest.approx(value, rel=1e-5)

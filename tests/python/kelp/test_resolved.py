"""The resolved model's instantaneous absorption against the closed forms of two- and
three-photon absorption (tests/python/kelp/closed_forms.py), and its step options.

A sample without populations absorbs instantaneously only; 11 positions (-10 .. 10 mm) at
532 nm, w0 = 20 um, 20 ps pulses of 1 uJ, a 1 mm sample, on the default grid (41 time
samples x 21 slices x 6 radial nodes) over +-3 tau.
"""
import math

import numpy as np
import pytest

from conftest import require_module

forward = require_module("kelp.core._core")
require_module("scipy")
import closed_forms as cf  # noqa: E402

WAVELENGTH, W0, TAU, WIDTH, ENERGY = 532e-9, 20e-6, 20e-12, 1e-3, 1e-6
X_MM = np.linspace(-10, 10, 11)
PEAK = cf.peak_irradiance(0, ENERGY, TAU, W0, WAVELENGTH)  # W/m^2 at the focus


def model(populations, pars, **options):
    return np.array(forward.open_aperture_curves(list(X_MM), [ENERGY], populations, pars, 41, 21, WIDTH, TAU,
                                                 WAVELENGTH, W0, 1.0, **options))


def instantaneous(**terms):
    return model([0, 0, 0, 0, 0], [0] * 8, **terms)


def share_of_signal(t, closed):
    return np.max(np.abs(t - closed)) / np.max(np.abs(closed - 1))


def focus_factor(x_mm):
    z_r = math.pi * W0 * W0 / WAVELENGTH
    return 1 / (1 + (x_mm / 1000 / z_r) ** 2)


@pytest.mark.parametrize("alpha0", [0.0, 500.0])  # 1/m: T0 = 1 and 0.61
@pytest.mark.parametrize("q0", [0.3, 1.0, 3.0])
def test_two_photon_absorption_meets_its_closed_form(q0, alpha0):
    beta = q0 / (PEAK * cf.effective_length(alpha0, WIDTH))
    closed = np.array([cf.two_photon(q0 * focus_factor(x)) for x in X_MM])
    t = instantaneous(alpha0=alpha0, beta=beta)
    assert share_of_signal(t, closed) < 0.005
    assert 1 - closed[5] > 0.09  # q0 = 0.3 dips by 10 %, q0 = 3 by more than half


@pytest.mark.parametrize("alpha0", [0.0, 500.0])
@pytest.mark.parametrize("p0", [0.5, 2.0])
def test_three_photon_absorption_meets_its_closed_form(p0, alpha0):
    gamma = (p0 / PEAK) ** 2 / (2 * cf.effective_length(alpha0, WIDTH, 2))
    closed = np.array([cf.three_photon(p0 * focus_factor(x)) for x in X_MM])
    assert share_of_signal(instantaneous(alpha0=alpha0, gamma=gamma), closed) < 0.01


def test_step_options():
    pars = [1e-17, 0, 0, 2e-9, 1e30, 1e30, 1e30, 1e30]
    exact, integrated = model([7e19, 0, 0, 0, 0], pars), model([7e19, 0, 0, 0, 0], pars, steps="integrated")
    assert np.max(np.abs(exact - integrated)) < 1e-5 * np.max(exact - 1)  # DLSODA at 1e-6, far below the grid error
    assert np.max(exact - 1) > 0.01
    with pytest.raises(ValueError, match="steps"):
        model([7e19, 0, 0, 0, 0], pars, steps="rk4")
    with pytest.raises(ValueError, match="beta"):
        model([7e19, 0, 0, 0, 0], pars, steps="integrated", beta=1e-11)
    with pytest.raises(ValueError, match="gamma"):
        instantaneous(gamma=-1e-25)

"""The open-aperture model against closed forms in its limits (closed_forms.py beside this file).

Scans of 11 positions (-10 .. 10 mm) at 532 nm, w0 = 20 um, 5 ns pulses, a 1 mm sample, on
the model's default grid (41 time samples x 21 slices x 6 radial nodes) unless a case says.
"""
import math

import numpy as np
import pytest

from conftest import require_module

forward, _ = require_module("kelp.core._core", "scipy")

import closed_forms as cf  # noqa: E402  (SciPy's integrals)

WAVELENGTH, W0, TAU, WIDTH = 532e-9, 20e-6, 5e-9, 1e-3
X_MM = np.linspace(-10, 10, 11)
LONG = 1e30  # lifetimes far beyond the pulse


def model(pars, n1, energy, t_slices=41, z_slices=21, **options):
    return np.array(forward.open_aperture_curves(list(X_MM), [energy], [n1, 0, 0, 0, 0], list(pars), t_slices,
                                                 z_slices, WIDTH, TAU, WAVELENGTH, W0, 1.0, **options))


def saturable(sigma, n1, energy, **grid):
    pars = [sigma, 0, 0, LONG, LONG, LONG, LONG, LONG]
    closed = np.array([cf.saturable_absorber(x / 1000, energy, sigma, n1, WIDTH, W0, WAVELENGTH) for x in X_MM])
    return model(pars, n1, energy, **grid), closed


def share_of_signal(t, closed):
    return np.max(np.abs(t - closed)) / np.max(np.abs(closed - 1))


@pytest.mark.parametrize("sigma, n1, energy", [
    (1e-18, 1e20, 0.2e-6),   # weak: T0 = 0.90, u0 = 0.09 at the focus
    (1e-18, 7e20, 1e-6),     # T0 = 0.50, u0 = 0.43
    (1e-18, 3e21, 3e-6),     # strong absorbance: T0 = 0.05, u0 = 1.3
    (1e-17, 7e19, 10e-6),    # deep saturation: T0 = 0.50, u0 = 43
])
def test_saturable_absorber_meets_frantz_nodvik_within_one_percent(sigma, n1, energy):
    t, closed = saturable(sigma, n1, energy)
    assert closed[5] > 1.001  # the case does saturate
    assert share_of_signal(t, closed) < 0.01


def test_grid_error_falls_at_second_order():
    errors = [share_of_signal(*saturable(1e-18, 3e21, 3e-6, t_slices=n_t, z_slices=n_z))
              for n_t, n_z in ((11, 5), (21, 11))]
    assert errors[1] < errors[0] / 3  # first order would give about 1/2


def test_linear_absorbers_give_one_everywhere():
    for pars in ([1e-18, 0, 0, 1e-15, LONG, LONG, LONG, LONG],    # level 2 empties at once
                 [1e-18, 1e-18, 0, LONG, LONG, 1e-16, LONG, LONG]):  # excited state absorbs alike
        t = model(pars, 1e20, 1e-6)
        assert np.max(np.abs(t - 1)) < 1e-8
        assert np.all(t != 1.0)  # it does absorb: the division by T0 is what levels it


def test_weak_reverse_saturable_absorber_follows_the_first_order_slope():
    sigma_g, sigma_e, n1 = 1e-18, 1e-17, 1e20
    pars = [sigma_g, sigma_e, 0, LONG, LONG, LONG, LONG, LONG]
    slope = np.array([cf.reverse_saturable_slope(x / 1000, sigma_g, sigma_e, n1, WIDTH, W0, WAVELENGTH)
                      for x in X_MM])
    e = 1e-9
    s1, s2 = ((1 - model(pars, n1, energy)) / energy for energy in (e, 2 * e))
    # (1 - T)/E = slope (1 + c E + ...): the second-order term shows at 1e-9 J (0.1 %), and
    # the extrapolation to E -> 0 removes it.
    assert np.max(np.abs(s1 / slope - 1)) < 3e-3
    assert np.max(np.abs((2 * s1 - s2) / slope - 1)) < 1e-4


def test_cycling_reverse_saturable_absorber_meets_its_fluence_equation():
    sigma_g, sigma_e, n1, energy = 1e-18, 1e-17, 1e20, 1e-6
    pars = [sigma_g, sigma_e, 0, LONG, LONG, 1e-15, LONG, LONG]
    t = model(pars, n1, energy)
    closed = np.array([cf.cycling_reverse_saturable(x / 1000, energy, sigma_g, sigma_e, n1, WIDTH, W0, WAVELENGTH)
                       for x in X_MM])
    assert closed[5] < 0.97
    assert share_of_signal(t, closed) < 0.01


def test_settings_of_the_scheme():
    pars = [1e-17, 0, 0, LONG, LONG, LONG, LONG, LONG]
    base = model(pars, 7e19, 10e-6)
    assert not np.array_equal(model(pars, 7e19, 10e-6, radial_nodes=8), base)
    assert not np.array_equal(model(pars, 7e19, 10e-6, time_window=4.0), base)
    with pytest.raises(ValueError, match="radial_nodes"):
        model(pars, 7e19, 10e-6, radial_nodes=0)
    with pytest.raises(ValueError, match="time_window"):
        model(pars, 7e19, 10e-6, time_window=-1.0)
    with pytest.raises(TypeError):
        forward.open_aperture_curves([0.0], [1e-6], [1e20, 0, 0, 0, 0], pars, 41, 21, WIDTH, TAU, WAVELENGTH, W0,
                                     1.0, 6)  # the scheme's settings are keywords


def test_calls_from_threads_give_their_serial_bits():
    import concurrent.futures
    pars = [1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13]
    energies = (0.5e-6, 1e-6, 2e-6, 4e-6)
    serial = [model(pars, 1e20, e, t_slices=11, z_slices=5, radial_nodes=3).tolist() for e in energies]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda e: model(pars, 1e20, e, t_slices=11, z_slices=5, radial_nodes=3).tolist(),
                                 energies))
    assert threaded == serial

"""The resolved model behind a closed aperture (kelp.core._core.resolved_curves) against the
closed forms of Kerr and excited-state refraction (tests/python/kelp/closed_forms.py).

A thin sample (0.1 mm, z_R/24) at 532 nm, w0 = 20 um, 20 ps pulses of 1 uJ (4.5e13 W/m^2 on the
axis at the focus), 41 time samples x 5 slices x 6 radial nodes over +-3 tau; positions in
units of x = z/z_R.
"""
import math

import numpy as np
import pytest

from conftest import require_module

forward = require_module("kelp.core._core")
require_module("scipy")
import closed_forms as cf  # noqa: E402

WAVELENGTH, W0, TAU, WIDTH, ENERGY = 532e-9, 20e-6, 20e-12, 1e-4, 1e-6
Z_R = math.pi * W0 * W0 / WAVELENGTH
PEAK = cf.peak_irradiance(0, ENERGY, TAU, W0, WAVELENGTH)  # W/m^2
K = 2 * math.pi / WAVELENGTH
NO_LEVELS = [0, 0, 0, 1e30, 1e30, 1e30, 1e30, 1e30]


def n2_for(phase):
    """n2 (m^2/W) whose on-axis phase at the focus, at the pulse's peak, is `phase`."""
    return phase / (K * PEAK * WIDTH)


def scan(x, detector="closed", populations=(0, 0, 0, 0, 0), pars=NO_LEVELS, energies=(ENERGY,), **options):
    x_mm = [v * Z_R * 1000 for v in x]
    values = forward.resolved_curves(x_mm, list(energies), list(populations), list(pars), 41, 5, WIDTH, TAU,
                                     WAVELENGTH, W0, 1.0, detectors=[detector] * len(energies), **options)
    return np.array(values).reshape(len(energies), len(x))


def extremes(x, t):
    """(valley x, valley T, peak x, peak T) from a parabola through each sampled extreme."""
    def vertex(i):
        (x0, x1, x2), (y0, y1, y2) = x[i - 1:i + 2], t[i - 1:i + 2]
        a = ((y2 - y1) / (x2 - x1) - (y1 - y0) / (x1 - x0)) / (x2 - x0)
        b = (y1 - y0) / (x1 - x0) - a * (x0 + x1)
        return -b / (2 * a), y1 - a * (x1 + b / (2 * a)) ** 2
    return (*vertex(int(np.argmin(t))), *vertex(int(np.argmax(t))))


X = np.linspace(-6, 6, 49)
FINE = np.linspace(-1.6, 1.6, 65)


def test_kerr_small_phase_has_the_closed_forms_shape_and_sign():
    phase = 0.05  # on axis at the focus and the pulse's peak; <dPhi0> = phase / sqrt(2)
    t = scan(X, aperture_S=0.01, n2=n2_for(phase))[0]
    closed = cf.kerr_closed(X, phase / math.sqrt(2))
    signal = np.ptp(closed)
    assert np.max(np.abs(t - closed)) < 0.01 * signal
    # Without the small-phase limit, the exact thin-sample transform (to the grid's share).
    exact = np.array([cf.kerr_fraunhofer(x, phase, 0.01) for x in X])
    assert np.max(np.abs(t - exact)) < 1e-3 * signal
    # Valley and peak at -+0.86, 1.7 z_R apart.
    fine = scan(FINE, aperture_S=0.01, n2=n2_for(phase))[0]
    x_valley, _, x_peak, _ = extremes(FINE, fine)
    assert x_peak - x_valley == pytest.approx(1.7, rel=0.03)
    # n2 > 0 focuses: the valley before the focus; n2 < 0 mirrors it.
    assert X[np.argmin(t)] < 0 < X[np.argmax(t)]
    # The field with -phi at -x is the conjugate of that with phi at x: the same far field.
    mirrored = scan(X, aperture_S=0.01, n2=-n2_for(phase))[0]
    assert np.max(np.abs(mirrored - t[::-1])) < 1e-12


@pytest.mark.parametrize("aperture", [0.1, 0.3, 0.5])
def test_kerr_peak_to_valley(aperture):
    phase = 1.0  # |<dPhi0>| = 0.71
    t = scan(FINE, aperture_S=aperture, n2=n2_for(phase))[0]
    x_valley, valley, x_peak, peak = extremes(FINE, t)
    assert (peak - valley) == pytest.approx(cf.peak_valley(aperture, phase / math.sqrt(2)), rel=0.03)
    assert x_valley < 0 < x_peak  # closer together as the aperture opens: 1.55 z_R at S = 0.5
    # The exact transform at the same phase, far closer.
    exact = np.array([cf.kerr_fraunhofer(x, phase, aperture) for x in (x_valley, x_peak)])
    assert peak - valley == pytest.approx(exact[1] - exact[0], rel=2e-3)


def odd(t):
    """The part of a scan on X odd in x: the refraction's, to first order."""
    return (t - t[::-1]) / 2


def test_kerr_with_weak_two_photon_absorption():
    phase, absorption = 0.05, 0.02  # <dPhi0> and <dPsi0> = beta I0 L / (2 sqrt 2)
    beta = absorption * 2 * math.sqrt(2) / (PEAK * WIDTH)
    options = dict(aperture_S=0.01, n2=n2_for(phase * math.sqrt(2)), beta=beta)
    closed = scan(X, **options)[0]
    formula = cf.kerr_absorption_closed(X, phase, absorption)
    signal = np.ptp(formula)
    assert np.max(np.abs(closed - formula)) < 0.03 * signal
    # Closed over open: the absorption leaves the odd part, the peak to valley, to first order;
    # an even part remains, as the closed forms' ratio has it.
    divided = scan(X, detector="divided", **options)[0]
    kerr = cf.kerr_closed(X, phase)
    assert np.max(np.abs(odd(divided) - odd(kerr))) < 0.03 * signal
    assert np.max(np.abs(closed - kerr)) > 0.5 * signal  # the closed scan's absorptive part
    assert np.max(np.abs(divided - formula / cf.absorption_open(X, absorption))) < 0.03 * signal


def test_excited_state_refraction_follows_the_fluence():
    # Level 1 absorbs into level 2 (k1), nothing relaxes during the pulse and level 2 neither
    # absorbs nor decays: dphi/dz = kr2 N2 with N2 = k1 N1 F(t)/(h nu) while the excitation is
    # weak; the bleaching of level 1 is an absorption change -k1 N2 beside it, as weighted.
    k1, n1, kr2 = 1e-18, 1e21, 2e-17
    pars = [k1, 0, 0, 1e30, 1e30, 1e30, 1e30, 1e30]
    energies = (0.05e-6, 0.1e-6)
    options = dict(populations=(n1, 0, 0, 0, 0), pars=pars, energies=energies, aperture_S=0.01, kr=(kr2, 0, 0, 0))
    closed, divided = scan(X, **options), scan(X, detector="divided", **options)
    l_eff = cf.effective_length(k1 * n1, WIDTH)
    for t, d, energy in zip(closed, divided, energies):
        f0 = cf.peak_fluence(0, energy, W0, WAVELENGTH)  # J/cm^2
        phase = kr2 * k1 * n1 * l_eff * f0 / (2 * cf.photon_energy(WAVELENGTH))
        bleaching = -k1 / (2 * kr2) * phase  # <dPsi0>: half the attenuation change, as the phase
        formula = cf.kerr_absorption_closed(X, phase, bleaching)
        # 1.3 % at 2 % excitation: the depletion of level 1, of second order.
        assert np.max(np.abs(t - formula)) < 0.02 * np.ptp(formula)
        assert np.max(np.abs(odd(d) - odd(cf.kerr_closed(X, phase)))) < 0.02 * np.ptp(formula)
    # The phase follows the fluence: twice the energy, twice the signal.
    assert np.ptp(odd(divided[1])) / np.ptp(odd(divided[0])) == pytest.approx(2, rel=0.03)


def test_excited_state_refraction_pumped_by_two_photons_grows_as_the_square():
    # Two-photon absorption pumps level 2 (N2 ~ beta I^2 / (2 h nu)): a phase ~ E^2.
    pars = [0, 0, 0, 1e30, 1e30, 1e30, 1e30, 1e30]
    divided = scan(X, detector="divided", populations=(1e21, 0, 0, 0, 0), pars=pars, energies=(0.5e-6, 1e-6),
                   aperture_S=0.01, kr=(1e-16, 0, 0, 0), beta=1e-12)
    assert np.ptp(odd(divided[0])) > 1e-3
    assert np.ptp(odd(divided[1])) / np.ptp(odd(divided[0])) == pytest.approx(4, rel=0.03)


def test_limits_and_arguments():
    # A transparent sample without refraction gives exactly 1; all-open scans are the open
    # aperture model's values.
    assert np.all(scan(X, aperture_S=0.3) == 1.0)
    x_mm = [-3.0, 0.0, 2.0]
    args = (x_mm, [1e-6], [1e20, 0, 0, 0, 0], [1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13], 21, 11,
            1e-3, 5e-9, 532e-9, 20e-6, 1.0)
    assert forward.resolved_curves(*args, n2=1e-18) == forward.open_aperture_curves(*args)
    assert forward.resolved_curves(*args, detectors=["open"], radial_nodes=4) == \
        forward.open_aperture_curves(*args, radial_nodes=4)
    with pytest.raises(ValueError, match="aperture_S"):
        forward.resolved_curves(*args, detectors=["closed"])
    with pytest.raises(ValueError, match="aperture_S"):
        forward.resolved_curves(*args, detectors=["divided"], aperture_S=1.0)
    with pytest.raises(ValueError, match="detectors"):
        forward.resolved_curves(*args, detectors=["closed", "open"], aperture_S=0.5)
    with pytest.raises(ValueError, match="detectors"):
        forward.resolved_curves(*args, detectors=["aperture"], aperture_S=0.5)
    with pytest.raises(ValueError, match="kr"):
        forward.resolved_curves(*args, kr=(1e-17, 0))
    with pytest.raises(ValueError, match="n2"):
        forward.resolved_curves(*args, n2=math.nan)

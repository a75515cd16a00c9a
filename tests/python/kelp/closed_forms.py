"""Closed forms of the energy-weighted open-aperture transmittance T/T0 in limits of the model.

Units as the core takes them: lengths in m, energies in J, cross-sections in cm^2, fluences in
J/cm^2; a cross-section times a population is an attenuation per metre of depth (the core's
convention), so T0 = exp(-sigma N1 L) with L the sample width in m.

The beam's energy is spread evenly over y = exp(-2 r^2 / w^2), the local share of the peak
fluence F0 = 2E / (pi w^2), so T = int_0^1 T_F(y F0) dy for a local fluence transmittance T_F.
Every integral here is taken by SciPy, independently of the model's own quadrature.
"""
import math

import numpy as np
from scipy.integrate import quad, solve_ivp
from scipy.special import roots_legendre

PLANCK = 6.62607015e-34
LIGHT = 299792458.0


def photon_energy(wavelength):
    return PLANCK * LIGHT / wavelength


def peak_fluence(x_m, energy, w0, wavelength, M2=1.0):
    """On-axis fluence of the whole pulse, 2E / (pi w(x)^2), in J/cm^2."""
    z_r = w0 * w0 * math.pi / (M2 * wavelength)
    w2_cm = w0 * w0 * (1 + (x_m / z_r) ** 2) * 1e4
    return 2 * energy / (math.pi * w2_cm)


def saturable_absorber(x_m, energy, sigma, n1, width, w0, wavelength):
    """Only k1 = sigma absorbs, nothing relaxes during the pulse: the Frantz-Nodvik fluence
    transmittance ln(1 + T0 (e^s - 1)) / s at s = F / F_sat, F_sat = h nu / sigma, averaged
    over the beam: (1/u0) int_0^u0 ln(1 + T0 (e^s - 1)) ds / s, divided by T0."""
    t0 = math.exp(-sigma * n1 * width)
    u0 = peak_fluence(x_m, energy, w0, wavelength) * sigma / photon_energy(wavelength)

    def local(s):
        return math.log1p(t0 * math.expm1(s)) / s if s > 0 else t0

    return quad(local, 0, u0, limit=200, epsabs=1e-14, epsrel=1e-12)[0] / u0 / t0


def reverse_saturable_slope(x_m, sigma_g, sigma_e, n1, width, w0, wavelength):
    """d(1 - T)/dE as E -> 0 for ground-state absorption sigma_g and excited-state absorption
    sigma_e from level 2, nothing relaxing during the pulse.

    To first order N2(z, t) = sigma_g N1 Phi(z, t), with Phi the photon fluence up to t, so
    alpha = alpha0 + (sigma_e - sigma_g) sigma_g N1 Phi.  With Phi(z, t) = Phi(0, t) e^(-alpha0 z)
    the exit fluence is T0 F [1 - (sigma_e - sigma_g) (1 - T0) F / (2 h nu)], whatever the pulse
    shape (int I Phi dt = h nu Phi^2 / 2).  Over the beam int_0^1 y dy = 1/2:
    1 - T = (sigma_e - sigma_g) (1 - T0) F0 / (4 h nu)."""
    t0 = math.exp(-sigma_g * n1 * width)
    return (sigma_e - sigma_g) * (1 - t0) * peak_fluence(x_m, 1.0, w0, wavelength) / (4 * photon_energy(wavelength))


def cycling_reverse_saturable(x_m, energy, sigma_g, sigma_e, n1, width, w0, wavelength, nodes=48):
    """Ground state sigma_g, excited state sigma_e whose upper level returns at once (level 3
    empty), nothing else relaxing: N2 = N1 (1 - exp(-sigma_g Phi)) at photon fluence Phi, and
    the photon fluence obeys dPhi/dz = -N1 [(1 - sigma_e/sigma_g)(1 - exp(-sigma_g Phi)) + sigma_e Phi]
    for any pulse shape.  Integrated in depth by SciPy, averaged over the beam with a
    Gauss-Legendre rule of many nodes, divided by T0."""
    t0 = math.exp(-sigma_g * n1 * width)
    phi0 = peak_fluence(x_m, energy, w0, wavelength) / photon_energy(wavelength)
    y, w = roots_legendre(nodes)
    y, w = (y + 1) / 2, w / 2

    def rhs(_, phi):
        return -n1 * ((1 - sigma_e / sigma_g) * -np.expm1(-sigma_g * phi) + sigma_e * phi)

    total = 0.0
    for yk, wk in zip(y, w):
        start = yk * phi0
        out = solve_ivp(rhs, (0.0, width), [start], method="LSODA", rtol=1e-11, atol=1e-12 * start).y[0, -1]
        total += wk * out / start
    return total / t0


def peak_irradiance(x_m, energy, tau, w0, wavelength, M2=1.0):
    """On-axis peak irradiance I0(x) = 2E / (pi^(3/2) w(x)^2 tau) in W/m^2 (SI, as beta and
    gamma take it)."""
    z_r = w0 * w0 * math.pi / (M2 * wavelength)
    return 2 * energy / (math.pi ** 1.5 * w0 * w0 * (1 + (x_m / z_r) ** 2) * tau)


def effective_length(alpha0, width, order=1):
    """(1 - e^(-order alpha0 L)) / (order alpha0): L_eff (order 1) and L'_eff (order 2)."""
    return width if alpha0 == 0 else -math.expm1(-order * alpha0 * width) / (order * alpha0)


def two_photon(q0):
    """dI/dz = -alpha0 I - beta I^2 over the Gaussian beam and pulse, divided by T0, with
    q0 = beta I0 L_eff: (1/(sqrt(pi) q0)) int ln(1 + q0 e^(-s^2)) ds, the integral form
    (its series diverges from q0 = 1)."""
    if q0 == 0:
        return 1.0
    return quad(lambda s: math.log1p(q0 * math.exp(-s * s)), -np.inf, np.inf, epsabs=1e-14,
                epsrel=1e-12)[0] / (math.sqrt(math.pi) * q0)


def three_photon(p0):
    """dI/dz = -alpha0 I - gamma I^3 likewise, with p0 = sqrt(2 gamma L'_eff) I0:
    (1/(sqrt(pi) p0)) int ln(p0 e^(-s^2) + sqrt(1 + p0^2 e^(-2 s^2))) ds."""
    if p0 == 0:
        return 1.0
    return quad(lambda s: math.asinh(p0 * math.exp(-s * s)), -np.inf, np.inf, epsabs=1e-14,
                epsrel=1e-12)[0] / (math.sqrt(math.pi) * p0)


# Closed aperture: a far-field aperture of linear transmittance S, thin sample, in units of
# x = z/z_R (z increasing towards the detector).  Phases are the on-axis values at the focus,
# energy-weighted over the Gaussian pulse (the t = 0 value over sqrt(2) for an effect linear
# in the irradiance).

def kerr_closed(x, phase):
    """Small phase, S -> 0: 1 + 4 <dPhi0> x / ((x^2 + 1)(x^2 + 9)); a positive phase (n2 > 0)
    has its valley before the focus."""
    x = np.asarray(x, dtype=float)
    return 1 + 4 * phase * x / ((x * x + 1) * (x * x + 9))


def kerr_absorption_closed(x, phase, absorption):
    """Kerr with weak two-photon absorption, S -> 0, <dPsi0> = beta I0 L_eff / (2 sqrt(2)):
    1 + [4 x <dPhi0> - 2 (x^2 + 3) <dPsi0>] / ((x^2 + 1)(x^2 + 9))."""
    x = np.asarray(x, dtype=float)
    return 1 + (4 * x * phase - 2 * (x * x + 3) * absorption) / ((x * x + 1) * (x * x + 9))


def absorption_open(x, absorption):
    """The open aperture to first order in <dPsi0> (two-photon absorption, or any absorption
    change linear in the irradiance or the fluence): 1 - <dPsi0> / (1 + x^2).  The closed scan over
    this one keeps an even part -<dPsi0> (x^2 - 3) / ((x^2 + 1)(x^2 + 9)) of the absorption: the
    division removes it from the odd part, the peak to valley, to first order."""
    x = np.asarray(x, dtype=float)
    return 1 - absorption / (x * x + 1)


def peak_valley(aperture, phase):
    """dT_pv = 0.406 (1 - S)^0.25 |<dPhi0>| (an empirical fit, for |dPhi0| <= pi)."""
    return 0.406 * (1 - aperture) ** 0.25 * abs(phase)


def kerr_fraunhofer(x, phase0, aperture, terms=40, samples=48):
    """The thin Kerr sample through the aperture without the small-phase limit: the field
    exp(-u^2 - i x u^2) exp(-i phi y) at the exit (y = exp(-2 u^2), phi = phase0 p(t)/(1 + x^2)
    for the on-axis phase at the focus phase0 at the pulse's peak) is the series of Gaussians
    sum_m (-i phi)^m / m! exp(-(1 + 2m + i x) u^2), each transformed to the far field exactly,
    and the energy through rho^2 <= -ln(1 - S)/2 of every pair of them is exact too.  Over the
    pulse by Gauss-Hermite in t/tau (its weight is the pulse); over the linear beam's."""
    rho2 = -math.log1p(-aperture) / 2
    s, w = np.polynomial.hermite.hermgauss(samples)
    pulse = np.exp(-s * s)
    m = np.arange(terms)
    a = 1 + 2 * m + 1j * x
    c = (1 + x * x) * (1 / a[:, None] + 1 / np.conj(a)[None, :])
    pair = -np.expm1(-c * rho2) / (2 * c) / (4 * a[:, None] * np.conj(a)[None, :])
    factorial = np.array([math.factorial(k) for k in m], dtype=float)
    through = 0.0
    for p, weight in zip(pulse, w):
        coefficients = (-1j * phase0 * p / (1 + x * x)) ** m / factorial
        through += weight * (coefficients @ pair @ np.conj(coefficients)).real
    return through / (np.sum(w) * pair[0, 0].real)

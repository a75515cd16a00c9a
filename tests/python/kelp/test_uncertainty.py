"""Standard errors against a Monte Carlo spread, the warnings in words, degenerate Jacobians."""
import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

from kelp.fit import refine  # noqa: E402
from kelp.api import measurement_from_arrays  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402
from kelp.fit.uncertainty import assess_uncertainty, covariance_u  # noqa: E402


def _refined(s, m, start=None):
    objective = Objective.of(m, s)
    problem = objective.problem(start or [s.parameters[n] for n in s.fit])
    r = refine.refine(problem, threads=1)
    return r, assess_uncertainty(r.names, r.values, r.unit_scale, r.jacobian, r.residuals, problem.positive)


@pytest.mark.slow  # 30 refits
def test_standard_errors_match_the_spread_of_refits_to_seeded_noise():
    # 100 ps pulses: k1 and k2 both shape the dip, strongly but not fully correlated.
    s = cases.settings(["k1", "k2"], start_factor=1.0)
    clean = cases.measurement(s)
    draws = 30
    values, errors, correlations = [], [], []
    for seed in range(draws):
        noisy = clean.transmittance + np.random.default_rng(seed).normal(0.0, 2e-3, clean.transmittance.shape)
        r, u = _refined(s, measurement_from_arrays(clean.positions, noisy, s.pulse_energies))
        values.append(r.values)
        errors.append(u.standard_errors)
        correlations.append(u.correlation[0, 1])
    spread = np.std(values, axis=0, ddof=1)
    predicted = np.mean(errors, axis=0)
    # The sample spread of 30 draws scatters by about 13 %: three of those either way.
    np.testing.assert_array_less(0.6, spread / predicted)
    np.testing.assert_array_less(spread / predicted, 1.45)
    mc_correlation = np.corrcoef(np.array(values).T)[0, 1]
    assert -1 < np.mean(correlations) < -0.95 and -1 < mc_correlation < -0.9


def test_a_degenerate_pair_is_named_and_a_well_determined_parameter_raises_nothing():
    s = cases.settings(["k2", "tau4"], tau=5e-9, pulse_energies=[1e-6, 2e-6, 4e-6])
    _, u = _refined(s, cases.measurement(s, noise=2e-3))
    assert u.correlation[0, 1] < -0.99
    assert u.warnings == ("k2 and tau4 are not determined separately by these scans: only a combination of "
                          f"them is (correlation {u.correlation[0, 1]:+.4f})",)
    s = cases.settings(["k2"])
    r, u = _refined(s, cases.measurement(s, noise=2e-3))
    assert u.warnings == () and 0 < u.standard_errors[0] < 0.02 * r.values[0]


def test_poorly_determined_and_frozen_parameters():
    # Two scans at low energy with 5 ns pulses cannot tell a tau4 far beyond the pulse.
    s = cases.settings(["k2", "tau4"], tau=5e-9)
    _, u = _refined(s, cases.measurement(s, noise=2e-3), start=[1e-17, 1e-6])
    assert any(w.startswith("tau4 is poorly determined: its standard error is ") for w in u.warnings)
    # With tau5 beyond any time scale no molecule reaches the level k3 excites from: the model
    # does not move with k3, bit for bit.
    s = cases.settings(["k2", "k3"], parameters={"tau5": 1e30})
    r, u = _refined(s, cases.measurement(s, noise=2e-3, truth={"tau5": 1e30}))
    assert u.frozen == ("k3",) and np.all(r.jacobian[:, 1] == 0)
    assert u.warnings[0].startswith("k3 does not change the model at all")
    assert np.isinf(u.standard_errors[1]) and np.isfinite(u.standard_errors[0]) and u.correlation[0, 0] == 1.0
    assert np.isnan(u.correlation[0, 1])


def test_covariance_of_synthetic_jacobians():
    rng = np.random.default_rng(5)
    J = rng.normal(size=(40, 3))
    r = rng.normal(size=40)
    cov, frozen = covariance_u(J, r)
    expected = (r @ r / 37) * np.linalg.inv(J.T @ J)
    np.testing.assert_allclose(cov, expected, rtol=1e-10)
    assert not frozen.any()
    # Two identical columns and a zero one: infinite variances where the data see nothing.
    J2 = np.column_stack([J[:, 0], J[:, 0], np.zeros(40), J[:, 1]])
    cov, frozen = covariance_u(J2, r)
    assert frozen.tolist() == [False, False, True, False]
    assert np.isinf(np.diag(cov)[:3]).all() and np.isfinite(cov[3, 3]) and cov[3, 3] > 0
    u = assess_uncertainty(("a", "b", "c", "d"), [1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0, 4.0], J2, r,
                           (True,) * 4)
    assert "a and b are not determined separately by these scans: only a combination of them is" in u.warnings
    assert u.standard_errors[3] == pytest.approx(4.0 * np.sqrt(cov[3, 3]), rel=1e-12)

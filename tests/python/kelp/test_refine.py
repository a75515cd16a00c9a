"""The refinement: fit_zscan's objective reproduced bit for bit, the optimum reached from where
fit_zscan stops, the same bits on any number of threads, the focus, and a model of one's own."""
import math

import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy", "kelp_wrapper")

from kelp.fit import refine  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402


@pytest.mark.parametrize("kind", ["reverse saturable", "saturable"])
def test_objective_reproduces_fit_zscans_residuals_and_error_bit_for_bit(kind):
    if kind == "saturable":
        # Ground-state absorption only: the transmittance rises at the focus (centred on the maximum).
        s = cases.settings(["k1"], is_sa=True, tau=5e-9, parameters={"k1": 8e-18, "k2": 0.0, "k3": 0.0})
        truth = {"k1": 4e-18, "k2": 0.0, "k3": 0.0}
    else:
        s = cases.settings(["k2", "tau4"], tau=5e-9, pulse_energies=[1e-6, 2e-6, 4e-6])
        truth = None
    # The focus off every position and noise: the centre is a measured point, not the middle.
    m = cases.measurement(s, noise=2e-3, seed=3, truth=truth, focus=2.2)
    result = fit(m, s, refine=False)
    objective = Objective.of(m, s)
    assert objective.centre != 0.0
    values = [result.fitted[n] for n in s.fit]
    assert objective.error(values) == result.error
    model = objective.model(values)
    assert np.array_equal(objective.measured - model, result.residuals)


def test_refinement_reaches_the_truth_from_where_fit_zscan_stops():
    # 5 ns pulses tie k2 to tau4; on noise-free data the truth is the exact optimum, and
    # fit_zscan stops tens of percent away from it.
    s = cases.settings(["k2", "tau4"], tau=5e-9, pulse_energies=[1e-6, 2e-6, 4e-6])
    result = fit(cases.measurement(s), s)
    a = result.refined
    off = [abs(result.fitted[n] / cases.TRUE[n] - 1) for n in s.fit]
    assert max(off) > 0.1
    assert a.start_error == result.error  # the refinement starts on fit_zscan's objective, exactly
    for name in s.fit:
        assert a.parameters[name] == pytest.approx(cases.TRUE[name], rel=1e-4, abs=0)
    assert a.error < 1e-3 * result.error and a.converged
    assert 0 < a.evaluations < 100


def test_jacobian_columns_on_threads_give_the_same_bits():
    s = cases.settings(["k1", "k2"], start_factor=1.5)
    objective = Objective.of(cases.measurement(s, noise=2e-3), s)
    start = [s.parameters[n] for n in s.fit]
    serial = refine.refine(objective.problem(start), threads=1)
    threaded = refine.refine(objective.problem(start), threads=2)
    assert np.array_equal(serial.values, threaded.values) and np.array_equal(serial.jacobian, threaded.jacobian)
    assert serial.evaluations == threaded.evaluations and serial.error == threaded.error


def test_fit_focus_finds_a_focus_between_the_positions():
    s = cases.settings(["k2"], fit_focus=True)
    m = cases.measurement(s, focus=0.4)  # positions 2.86 mm apart: fit_zscan centres on 0
    result = fit(m, s)
    a = result.refined
    assert a.names == ("k2", "focus") and a.centre == 0.0
    assert a.parameters["focus"] == pytest.approx(0.4, abs=1e-4)
    assert a.parameters["k2"] == pytest.approx(1e-17, rel=1e-4, abs=0)
    assert a.standard_errors["focus"] >= 0 and result.fitted["k2"] != pytest.approx(1e-17, rel=1e-3, abs=0)


def test_refinement_of_a_model_of_ones_own():
    # A decay a·exp(−x/b) + c: a and b fitted on a log scale, the offset c as is.
    x = np.linspace(0.0, 5.0, 30)
    truth = (2.0, 1.5, -0.3)
    calls = []

    def model(values):
        calls.append(1)
        a, b, c = values
        return a * np.exp(-x / b) + c

    measured = model(truth)
    calls.clear()
    problem = refine.Problem(names=("a", "b", "c"), start=np.array([1.0, 3.0, 0.0]),
                             residuals=refine.weighted(model, measured, np.ones_like(x)),
                             positive=(True, True, False), scales=(1.0, 1.0, 0.5))
    r = refine.refine(problem, threads=2)
    np.testing.assert_allclose(r.values, truth, rtol=1e-6, atol=1e-7)
    assert r.converged and r.evaluations == len(calls)
    assert r.start_error == refine.error_norm(measured - model([1.0, 3.0, 0.0]))
    assert r.unit_scale == pytest.approx([r.values[0], r.values[1], 0.5])


def test_error_norm_sums_in_order_as_minpack():
    r = np.array([1e-3, -2.5e-3, 3e-3, 1e-8] * 50)
    total = 0.0
    for v in r:
        total += v * v
    assert refine.error_norm(r) == math.sqrt(total) and refine.error_norm(np.array([])) == 0.0

"""The open-aperture model's fit: the truth recovered from noise-free data of either kind of
absorber (the focus too), the best start chosen, the fit without its assessment, the grid
check of a second-order scheme, and the figure's curve through the fit's model."""
import math

import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

from kelp.fit import gridcheck, starts as open_fit  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402

SMALL = dict(model="open-aperture", t_slices=7, z_slices=3, radial_nodes=3)


def _never(*args, **kwargs):
    raise AssertionError("fit_zscan fits the on-axis model only")


@pytest.mark.parametrize("kind", [pytest.param("reverse saturable", marks=pytest.mark.slow), "saturable"])
def test_noise_free_fit_recovers_the_truth(kind):
    if kind == "saturable":
        # Ground-state absorption only: the transmittance peaks at the focus, centred on the maximum.
        truth = {"k1": 4e-18, "k2": 0.0, "k3": 0.0}
        s = cases.settings(["k1"], is_sa=True, parameters={"k1": 8e-18, "k2": 0.0, "k3": 0.0}, **SMALL)
        m = cases.measurement(s, truth=truth)
    else:
        # The focus 0.4 mm off the nearest position: only the fitted focus makes the data exact.
        truth = {"k2": 1e-17, "focus": 0.4}
        s = cases.settings(["k2"], fit_focus=True, **SMALL)
        m = cases.measurement(s, focus=0.4)
    result = fit(m, s, _never)
    a = result.refined
    for name, value in truth.items():
        if name in a.parameters:
            assert a.parameters[name] == pytest.approx(value, rel=1e-6, abs=1e-6 if name == "focus" else 0)
    assert a.converged and a.error < 1e-8
    fitted = [n for n in a.names if n in s.fit]
    assert {n: result.fitted[n] for n in fitted} == {n: a.parameters[n] for n in fitted}
    assert result.error == a.error and np.array_equal(result.residuals, a.residuals)
    assert a.error == min(start.error for start in a.starts) and len(a.starts) == 3
    assert a.evaluations == sum(start.refinement.evaluations for start in a.starts)

    # Without the assessment the starts are still refined: the same optimum (the focus left
    # where the fit centres), no standard errors.
    plain = fit(m, s, _never, refine=False)
    assert plain.refined is None
    if kind == "saturable":
        assert plain.fitted == result.fitted and plain.error == result.error
    else:
        assert plain.error > 100 * result.error


def test_the_best_start_is_the_smallest_error_and_the_earlier_on_a_tie():
    def start(error):
        r = None if error is None else type("R", (), {"error": error})()
        return open_fit.Start(start={}, refinement=r, failure=None if r else "no finite values")

    assert open_fit.best([start(0.3), start(0.1), start(0.1), start(0.2)]) == 1
    assert open_fit.best([start(None), start(math.nan), start(0.5)]) == 2
    assert open_fit.best([start(None)]) is None
    # fit_zscan's multipliers: the middle of an odd count is exactly 1, a single start 10^-0.52.
    assert [open_fit.start_multiplier(i, 3) for i in range(3)] == [10 ** -0.52, 1.0, 10 ** 0.52]
    assert open_fit.start_multiplier(0, 1) == 10 ** -0.52


def test_four_thirds_of_the_change_on_doubling_estimates_a_second_order_grids_error():
    s = cases.settings(["k2"], start_factor=1.0, pulse_energies=[1e-6], model="open-aperture", t_slices=5,
                       z_slices=3, radial_nodes=3)
    objective = Objective.of(cases.measurement(s, points=9, x_max=10.0), s)
    values = [1e-17]
    model = objective.model(values)
    check = gridcheck.check_grid(objective, values, model)
    assert (check.t_slices, check.z_slices, check.order) == (9, 5, 2)
    finest = objective.on_grid(41, 21).model(values)  # 10 times the intervals: 1/100 of the error left
    actual = np.max(np.abs(model - finest)) * 100 / 99
    assert 4 / 3 * check.max_model_change == pytest.approx(actual, rel=0.1)
    assert "(the grid's own error is about 4/3 of that change)" in check.warning()  # data of this very grid


def test_the_curve_passes_through_the_fits_model():
    from kelp.report.curve import fitted_curves
    s = cases.settings(["k2"], **SMALL)
    result = fit(cases.measurement(s, noise=2e-3, points=11), s, _never)
    grid, fine, at_measured = fitted_curves(result, points=41)
    assert np.array_equal(at_measured, result.refined.model)
    positions = result.measurement.positions
    assert grid[0] == positions.min() and grid[-1] == positions.max() and np.all(np.diff(grid) > 0)
    assert np.array_equal(fine[:, [0, -1]], at_measured[:, [0, -1]]) and fine.shape == (2, len(grid))
    # The model is symmetric about the focus: mirror images of the curve's points agree.
    centred = grid[1:-1] - result.refined.centre
    mirrored = [(i, int(np.flatnonzero(centred == -x)[0])) for i, x in enumerate(centred) if -x in centred]
    assert len(mirrored) > 20
    assert all(fine[0, i + 1] == fine[0, j + 1] for i, j in mirrored)

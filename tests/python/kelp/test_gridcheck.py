"""The grid check: its estimate of the grid's error against a much finer grid, and the grid
it names, checked in turn."""
import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

from kelp.fit import gridcheck  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402


def _case(noise):
    # One scan of 9 positions: the model's cost is in its grid here.
    s = cases.settings(["k2"], start_factor=1.0, pulse_energies=[1e-6])
    fine = s.to_dict()
    fine.update(t_slices=161, z_slices=81)  # "measured": the model on a grid 40 times as fine
    from kelp.io.settings import settings_from_mapping
    m = cases.measurement(settings_from_mapping(fine), noise=noise, points=9, x_max=10.0)
    return s, m, Objective.of(m, s)


def test_twice_the_change_on_doubling_estimates_the_grids_error():
    s, m, objective = _case(noise=0.0)
    values = [1e-17]
    model = objective.model(values)
    check = gridcheck.check_grid(objective, values, model)
    assert (check.t_slices, check.z_slices) == (9, 5) and check.base == (5, 3)
    finest = objective.on_grid(81, 41).model(values)  # 20 times the intervals: its own error is 1/20
    actual = np.max(np.abs(model - finest)) * 20 / 19
    assert 2 * check.max_model_change == pytest.approx(actual, rel=0.1)
    assert check.signal == pytest.approx(np.max(np.abs(model - 1)), rel=1e-12)


def test_the_named_grid_passes_its_own_check():
    s, m, objective = _case(noise=2e-3)
    values = [1e-17]
    check = gridcheck.check_grid(objective, values, objective.model(values))
    warning = check.warning()
    assert warning.startswith("the model's grid of 5 x 3 points (t_slices x z_slices) is too coarse for these "
                              "data: doubling it to 9 x 5 changes the model by up to ")
    t, z = check.suggested()
    assert f"a grid of about {t} x {z} would do" in warning and t > 9 and z > 5
    named = objective.on_grid(t, z)
    again = gridcheck.check_grid(named, values, named.model(values))
    assert again.warning() is None and again.max_model_change == pytest.approx(check.max_model_change * 4 / t,
                                                                               rel=0.2)

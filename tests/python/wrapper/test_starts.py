"""Fit indices, start multipliers and start values, and the errors raised before any fit."""
import numpy as np
import pytest

import kelp_wrapper
from conftest import frozen_case
from kelp_wrapper import fit_zscan


def start_rows(spec_out, n_starts):
    """Every start's parameter row: the returned vector is a view of one row of them all."""
    return np.reshape(spec_out.base, (n_starts, -1))


@pytest.mark.parametrize("n_starts", [1, 3, 4, 5])
def test_starts_run_log_evenly_from_0_302_to_3_311_times_the_given_values(n_starts):
    case = frozen_case(n_starts=n_starts)
    spec_out = fit_zscan(**case)[2]
    rows = start_rows(spec_out, n_starts)
    d = n_starts - 1 if n_starts > 1 else 1
    multipliers = [10.0 ** ((i * 1.04) / d - 0.52) for i in range(n_starts)]
    assert list(rows[:, 2]) == [case["spec_pars"][2] * m for m in multipliers]
    assert np.array_equal(np.delete(rows, 2, axis=1), np.tile(np.delete(case["spec_pars"], 2), (n_starts, 1)))
    if n_starts in (3, 5):
        assert rows[n_starts // 2, 2] == case["spec_pars"][2]  # the middle multiplier is exactly 1
    # Equal errors: the first start wins.
    assert np.shares_memory(spec_out, rows[0])


def test_a_parameter_named_twice_is_multiplied_once():
    case = frozen_case(fit_indices=np.array([2, 2], dtype=np.int32), n_starts=3)
    rows = start_rows(fit_zscan(**case)[2], 3)
    assert list(rows[:, 2]) == [case["spec_pars"][2] * 10.0 ** ((i * 1.04) / 2 - 0.52) for i in range(3)]


@pytest.mark.parametrize("indices, message", [
    ([2, 0, 8], "fit_indices[2]=8 out of range [0,7]"),
    ([-1], "fit_indices[0]=-1 out of range [0,7]"),
    ([1, 9, -3], "fit_indices[1]=9 out of range [0,7]"),
])
def test_fit_indices_outside_0_to_7(indices, message):
    with pytest.raises(ValueError) as e:
        fit_zscan(**frozen_case(fit_indices=np.array(indices, dtype=np.int32)))
    assert str(e.value) == message


@pytest.mark.parametrize("changes, axis", [
    ({"n_starts": 0}, 0),
    ({"fit_indices": np.array([], dtype=np.int32)}, 0),
    ({"fit_indices": np.array([7], dtype=np.int32), "spec_pars": np.ones(7)}, 0),
    ({"populations": np.array([])}, 0),
    ({"pulse_energy": np.array([])}, 0),
    ({"fit_indices": np.array([], dtype=np.int32), "spec_pars": np.array([])}, 1),
    ({"x_data": np.zeros(3)}, 0),  # the extreme of y_data lies beyond x_data
])
def test_accesses_past_an_end_are_index_errors_before_any_fit(changes, axis):
    with pytest.raises(IndexError) as e:
        fit_zscan(**frozen_case(**changes))
    assert str(e.value) == f"Out of bounds on buffer access (axis {axis})"


def test_numpy_reports_an_empty_curve_and_a_negative_number_of_starts():
    with pytest.raises(ValueError, match="attempt to get argmin of an empty sequence"):
        fit_zscan(**frozen_case(y_data=np.array([])))
    with pytest.raises(ValueError, match="attempt to get argmax of an empty sequence"):
        fit_zscan(**frozen_case(y_data=np.array([]), is_sa=True))
    with pytest.raises(ValueError, match="negative dimensions are not allowed"):
        fit_zscan(**frozen_case(n_starts=-1))


def test_numpy_is_looked_up_in_the_module_at_every_call(monkeypatch):
    calls = []

    class Recorder:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(kelp_wrapper, "np", Recorder())
    fit_zscan(**frozen_case())
    assert {"asarray", "argmin", "tile", "zeros", "array", "float64"} <= set(calls)
    monkeypatch.delattr(kelp_wrapper, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        fit_zscan(**frozen_case())

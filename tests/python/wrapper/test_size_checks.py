"""Lengths and counts that the model cannot compute with: refused before the first fit."""
import numpy as np
import pytest

from conftest import frozen_case
from kelp_wrapper import fit_zscan

CASE = frozen_case()


@pytest.mark.parametrize("changes, message", [
    ({"spec_pars": CASE["spec_pars"][:7]}, "spec_pars: expected 8 values, got 7"),
    ({"spec_pars": np.append(CASE["spec_pars"], 1.0)}, "spec_pars: expected 8 values, got 9"),
    ({"x_data": CASE["x_data"][:21].copy()}, "x_data: expected 22 values (num_x_pts * num_datasets), got 21"),
    ({"y_data": np.append(CASE["y_data"], 1.0)}, "y_data: expected 22 values (num_x_pts * num_datasets), got 23"),
    ({"pulse_energy": np.array([1e-6])}, "pulse_energy: expected at least 2 values (num_datasets), got 1"),
    ({"populations": np.ones(4)}, "populations: expected 5 values, got 4"),
    ({"populations": np.ones(6)}, "populations: expected 5 values, got 6"),
    ({"num_x_pts": 4}, "num_x_pts: expected at least 5, got 4"),
    ({"num_datasets": 0}, "num_datasets: expected at least 1, got 0"),
    ({"num_x_pts": 2**16, "num_datasets": 2**16}, "num_x_pts * num_datasets: expected at most 2147483647, "
                                                   "got 4294967296"),
    ({"t_slices": 1}, "t_slices: expected at least 2, got 1"),
    ({"z_slices": -3}, "z_slices: expected at least 2, got -3"),
    # Counts are checked before the lengths made of them.
    ({"num_x_pts": 4, "x_data": CASE["x_data"][:21].copy()}, "num_x_pts: expected at least 5, got 4"),
])
def test_each_check_names_the_argument_and_both_lengths(changes, message):
    before = {k: v.copy() for k, v in CASE.items() if isinstance(v, np.ndarray)}
    with pytest.raises(ValueError) as e:
        fit_zscan(**{**CASE, **changes})
    assert str(e.value) == message
    assert all(np.array_equal(CASE[k], v) for k, v in before.items())


def test_more_energies_than_scans_are_accepted():
    expected = fit_zscan(**CASE)
    got = fit_zscan(**{**CASE, "pulse_energy": np.array([1e-6, 2e-6, 5.0])})
    assert np.array_equal(got[0], expected[0])


def test_the_errors_raised_before_them_keep_their_place():
    # Without starts nothing is checked; an empty array is still an index error.
    with pytest.raises(IndexError):
        fit_zscan(**{**CASE, "n_starts": 0, "populations": np.ones(4)})
    with pytest.raises(IndexError):
        fit_zscan(**{**CASE, "populations": np.array([]), "num_x_pts": 3})
    with pytest.raises(ValueError, match=r"fit_indices\[0\]=8"):
        fit_zscan(**{**CASE, "fit_indices": np.array([8], dtype=np.int32), "spec_pars": np.ones(3)})

"""Centring: every scan is shifted by the position of the one extreme of all measured values.

The model transmittance depends on a position only through its distance from the focus, so
the model curve (measured minus residual) of each scan is mirror-symmetric about the position
that was moved to 0.  With k3 frozen the residuals are those of the start values.
"""
import numpy as np
import pytest

from conftest import frozen_case
from kelp_wrapper import fit_zscan

X = np.arange(11) * 2.0 - 7.0  # -7 .. 13 mm: the focus is not at 0 until centred


def model_of(y, is_sa):
    case = frozen_case(x_data=np.tile(X, 2), y_data=np.asarray(y, dtype=np.float64), is_sa=is_sa)
    residuals = fit_zscan(**case)[0]
    return (case["y_data"] - residuals).reshape(2, 11)


def symmetric_about(curve, c):
    d = min(c, len(curve) - 1 - c)
    return np.allclose(curve[c - d:c][::-1], curve[c + 1:c + d + 1], rtol=1e-12, atol=0)


def curves(extremes, base=1.0):
    """Two made-up scans with distinct values, plus {flat index: value} put in."""
    y = base + 0.001 * np.sin(np.arange(22.0))
    for k, v in extremes.items():
        y[k] = v
    return y


def test_reverse_saturable_absorber_centres_on_the_minimum_of_all_scans():
    # Scan 1 has its own minimum at index 3, but the lowest value is point 6 of scan 2.
    model = model_of(curves({3: 0.95, 11 + 6: 0.9}), is_sa=False)
    assert symmetric_about(model[0], 6) and symmetric_about(model[1], 6)
    assert not symmetric_about(model[0], 3)


def test_saturable_absorber_centres_on_the_maximum_and_the_first_of_equal_ones():
    model = model_of(curves({8: 1.2, 11 + 2: 1.2, 11 + 6: 0.5}), is_sa=True)
    assert symmetric_about(model[0], 8) and symmetric_about(model[1], 8)
    assert not symmetric_about(model[1], 2)
    model = model_of(curves({8: 1.2, 11 + 2: 1.2, 11 + 6: 0.5}), is_sa=False)
    assert symmetric_about(model[0], 6)


def test_caller_positions_are_left_as_they_are():
    case = frozen_case(x_data=np.tile(X, 2))
    fit_zscan(**case)
    assert np.array_equal(case["x_data"], np.tile(X, 2))

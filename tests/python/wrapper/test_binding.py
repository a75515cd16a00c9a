"""Binding fit_zscan's arguments: counts, keywords, and the equivalence of the call forms."""
import numpy as np
import pytest

from conftest import frozen_case
from kelp_wrapper import fit_zscan


def same_result(a, b):
    return np.array_equal(a[0], b[0]) and a[1] == b[1] and np.array_equal(a[2], b[2])


def test_positional_keyword_and_mixed_calls_give_the_same_result():
    case = frozen_case(is_sa=True, n_starts=2)
    values = list(case.values())
    by_position = fit_zscan(*values)
    assert same_result(fit_zscan(**case), by_position)
    assert same_result(fit_zscan(*values[:7], **dict(list(case.items())[7:])), by_position)
    # The defaults are False and 3.
    plain = frozen_case()
    del plain["is_sa"], plain["n_starts"]
    assert same_result(fit_zscan(**plain), fit_zscan(**plain, is_sa=False, n_starts=3))


@pytest.mark.parametrize("count, message", [
    (14, "fit_zscan() takes at least 15 positional arguments (14 given)"),
    (0, "fit_zscan() takes at least 15 positional arguments (0 given)"),
    (18, "fit_zscan() takes at most 17 positional arguments (18 given)"),
])
def test_wrong_positional_counts(count, message):
    values = list(frozen_case().values())
    args = (values + [3])[:count]
    with pytest.raises(TypeError) as e:
        fit_zscan(*args)
    assert str(e.value) == message


def test_with_keywords_the_count_is_the_first_missing_parameter():
    case = frozen_case()
    values = list(case.values())
    missing_num_x_pts = {k: v for k, v in list(case.items())[3:] if k != "num_x_pts"}
    with pytest.raises(TypeError) as e:
        fit_zscan(*values[:3], **missing_num_x_pts)
    assert str(e.value) == "fit_zscan() takes at least 15 positional arguments (13 given)"
    without_x = {k: v for k, v in case.items() if k != "x_data"}
    with pytest.raises(TypeError) as e:
        fit_zscan(**without_x)
    assert str(e.value) == "fit_zscan() takes at least 15 positional arguments (0 given)"


def test_unknown_and_repeated_keywords():
    case = frozen_case()
    values = list(case.values())
    with pytest.raises(TypeError) as e:
        fit_zscan(*values, verbose=True)
    assert str(e.value) == "fit_zscan() got an unexpected keyword argument 'verbose'"
    with pytest.raises(TypeError) as e:
        fit_zscan(*values[:15], spec_pars=case["spec_pars"])
    assert str(e.value) == "fit_zscan() got multiple values for keyword argument 'spec_pars'"
    # The first offending keyword in call order is reported.
    with pytest.raises(TypeError) as e:
        fit_zscan(*values[:15], n_starts=1, x_data=case["x_data"], verbose=True)
    assert str(e.value) == "fit_zscan() got multiple values for keyword argument 'x_data'"


def test_binding_errors_come_before_any_conversion():
    with pytest.raises(TypeError, match=r"takes at least 15 positional arguments \(3 given\)"):
        fit_zscan(None, "not an array", object())

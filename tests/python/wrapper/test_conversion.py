"""Converting fit_zscan's arguments: buffers, integers, floats, truth values and None."""
import array

import numpy as np
import pytest

from conftest import frozen_case
from kelp_wrapper import fit_zscan


def call(**changes):
    return fit_zscan(**frozen_case(**changes))


@pytest.mark.parametrize("name, value, message", [
    ("fit_indices", np.array([2], dtype=np.int64), "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("fit_indices", np.array([2.0]), "Buffer dtype mismatch, expected 'int' but got 'double'"),
    ("x_data", np.zeros(22, dtype=np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("spec_pars", np.zeros(8, dtype=np.complex128), "Buffer dtype mismatch, expected 'double' but got "
                                                     "'complex double'"),
    ("populations", np.zeros(5, dtype=">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ("y_data", np.zeros((2, 11)), r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    ("pulse_energy", np.array(1e-6), r"Buffer has wrong number of dimensions \(expected 1, got 0\)"),
])
def test_element_type_and_dimensions_are_checked(name, value, message):
    with pytest.raises(ValueError, match=message):
        call(**{name: value})


def test_read_only_and_strided_arrays_are_refused_by_their_exporter():
    read_only = np.ones(5)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        call(populations=read_only)
    with pytest.raises(ValueError, match="not C-contiguous"):
        call(pulse_energy=np.array([1e-6, 0, 2e-6])[::2])
    with pytest.raises(TypeError):
        call(spec_pars=list(frozen_case()["spec_pars"]))
    with pytest.raises((TypeError, BufferError)):
        call(y_data=frozen_case()["y_data"].tobytes())  # read-only bytes


def test_any_writable_exporter_of_the_right_type_is_accepted():
    case = frozen_case()
    expected = fit_zscan(**case)
    as_arrays = {k: array.array("i" if k == "fit_indices" else "d", case[k])
                 for k in ("x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices")}
    got = fit_zscan(**{**case, **as_arrays})
    assert np.array_equal(got[0], expected[0]) and got[1] == expected[1] and np.array_equal(got[2], expected[2])


def test_scalar_conversions():
    expected = call()
    # Integers from anything with an int conversion, floats truncated; floats from ints.
    for changes in ({"t_slices": 5.9, "num_x_pts": np.int64(11)}, {"z_slices": np.float32(3.2)},
                    {"sample_width": np.float64(1e-3)}, {"M2": 1}, {"is_sa": 0, "n_starts": True}):
        got = call(**changes)
        assert np.array_equal(got[0], expected[0]) and got[1] == expected[1], changes
    with pytest.raises(TypeError, match="an integer is required"):
        call(t_slices="5")
    with pytest.raises(TypeError, match="an integer is required"):
        call(n_starts=None)
    with pytest.raises(OverflowError):
        call(num_datasets=2**31)
    with pytest.raises(OverflowError):
        call(z_slices=-2**31 - 1)
    with pytest.raises(TypeError):
        call(tau="1e-10")
    with pytest.raises(ValueError):
        call(n_starts=float("nan"))  # int() of NaN

    class Untruthful:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    with pytest.raises(ZeroDivisionError):
        call(is_sa=Untruthful())


def test_none_is_refused_only_after_every_argument_converted():
    with pytest.raises(TypeError) as e:
        call(pulse_energy=None)
    assert str(e.value) == "Argument 'pulse_energy' must not be None"
    with pytest.raises(TypeError) as e:
        call(fit_indices=None, populations=None)
    assert str(e.value) == "Argument 'populations' must not be None"
    # A conversion error anywhere, even in the last argument, comes first.
    with pytest.raises(TypeError, match="an integer is required"):
        call(pulse_energy=None, n_starts="3")
    with pytest.raises(ValueError, match="Buffer dtype mismatch"):
        call(x_data=None, fit_indices=np.array([2], dtype=np.int64))

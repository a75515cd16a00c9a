"""What fit_zscan returns and leaves behind: views of the best start's rows, untouched inputs,
a fit that recovers known parameters, and the core's MemoryError."""
import array
import os
import textwrap

import numpy as np
import pytest

from conftest import BEAM, TESTS, TRUE_PARS, fit_arguments, frozen_case, model_curves, run_python
from kelp_wrapper import fit_zscan


def test_results_are_views_of_the_best_rows_of_the_per_start_matrices():
    case = frozen_case(n_starts=3)
    residuals, error, spec_out = fit_zscan(**case)
    assert type(error) is float
    for result, width in ((residuals, 22), (spec_out, 8)):
        assert result.dtype == np.float64 and result.shape == (width,)
        rows = np.reshape(result.base, (3, width))
        assert np.shares_memory(result, rows[0])  # equal errors: start 0 wins
        assert not np.shares_memory(result, rows[1:])


@pytest.mark.parametrize("n_starts", [1, 3])
@pytest.mark.parametrize("kind", ["ndarray", "array.array"])
def test_caller_arrays_are_unchanged(n_starts, kind):
    case = frozen_case(n_starts=n_starts)
    names = ("x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices")
    if kind == "array.array":
        case.update({k: array.array("i" if k == "fit_indices" else "d", case[k]) for k in names})
    before = {k: list(case[k]) for k in names}
    spec_out = fit_zscan(**case)[2]
    assert {k: list(case[k]) for k in names} == before
    assert not np.shares_memory(spec_out, np.asarray(case["spec_pars"]))
    assert spec_out[2] != case["spec_pars"][2]  # the start value, 10**-0.52 times the given one


def test_a_fit_recovers_k2_from_noise_free_scans():
    # Two scans at 1 and 2 uJ, 100 ps pulses; a grid point at the focus, so centring moves nothing.
    x, curves = model_curves(TRUE_PARS, energies=(1e-6, 2e-6), points=15, x_min=-14, x_max=14)
    y = curves.T.ravel()
    start = list(TRUE_PARS)
    start[1] *= 2.0  # k2 starts from 0.6, 2 and 6.6 times its true value
    case = fit_arguments(np.tile(x, 2), y, start, [1], 15, 2)
    case["n_starts"] = 3
    residuals, error, fitted = fit_zscan(**case)
    assert fitted[1] == pytest.approx(TRUE_PARS[1], rel=1e-5, abs=0)
    assert np.array_equal(np.delete(fitted, 1), np.delete(start, 1))
    # The residuals are measured minus model at the fitted parameters, to the bit ...
    _, model = model_curves(fitted, energies=(1e-6, 2e-6), points=15, x_min=-14, x_max=14)
    assert np.array_equal(residuals, y - model.T.ravel())
    # ... and the error is their norm, weighted towards the focus (positions in metres).
    two_x = 2 * (np.tile(x, 2) / 1000.0)
    weights = 4 * np.exp(-(two_x * two_x)) + 1
    assert error == pytest.approx(np.linalg.norm(residuals * np.sqrt(weights)), rel=1e-12)
    assert error < 1e-5


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limit under ASan")
def test_exhausted_memory_is_a_memory_error_and_the_interpreter_goes_on():
    r = run_python(textwrap.dedent("""
        import resource, sys
        sys.path.insert(0, %r)
        from conftest import frozen_case
        from kelp_wrapper import fit_zscan
        expected = fit_zscan(**frozen_case())
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (200 << 20), resource.RLIM_INFINITY))
        try:
            fit_zscan(**frozen_case(z_slices=100_000_000))
        except MemoryError as e:
            print("MemoryError:", e)
        assert fit_zscan(**frozen_case())[1] == expected[1]
        print("still running")
    """ % str(TESTS)))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["MemoryError: Error allocating 800000000 bytes", "still running"]

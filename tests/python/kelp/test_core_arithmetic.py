"""fit_zscan's arithmetic as kelp.core._core binds it from the core, the one home the library
takes it from: each step equals, bit for bit, an independent Python rendering of fit_zscan's
arithmetic below (the library's own before it took the core's), and the steps together
reproduce a fit_zscan call."""
import math
import types

import numpy as np
import pytest

from conftest import BEAM, POPULATIONS, TRUE_PARS, fit_arguments, frozen_case, require_module

_forward, _ = require_module("kelp.core._core", "kelp_wrapper")

from kelp_wrapper import fit_zscan  # noqa: E402


def _sqrt_weights(x_mm, scans):
    # The residual function's arithmetic, term by term: w = 4 exp(-(2x)(2x)) + 1, x in metres.
    out = []
    for x in x_mm:
        two_x = 2 * (x / 1000.0)
        out.append(math.sqrt(4 * math.exp(-(two_x * two_x)) + 1))
    return np.tile(np.array(out, dtype=np.float64), scans)


def _centre(measurement, is_sa):
    y = np.asarray(measurement.transmittance, dtype=np.float64).reshape(-1)
    k = int(np.argmax(y) if is_sa else np.argmin(y))
    return float(np.asarray(measurement.positions, dtype=np.float64)[k % len(measurement.positions)])


def _start_multiplier(i, n_starts):
    d = float(n_starts - 1) if n_starts > 1 else 1.0
    return 10.0 ** ((float(i) * 1.04) / d - 0.52)


def _wing_level(ratios):
    b = 0.0
    for v in (*ratios[:5], *ratios[-5:]):
        b += v
    return b / 10


def _error_norm(residuals):
    # enorm for residuals of ordinary size (1e-19 to 1e19): the squares summed in order.
    r = np.asarray(residuals, dtype=np.float64)
    return math.sqrt(float(np.add.accumulate(r * r)[-1])) if r.size else 0.0


objective = types.SimpleNamespace(_sqrt_weights=_sqrt_weights, centre=_centre)
open_fit = types.SimpleNamespace(start_multiplier=_start_multiplier)
curve = types.SimpleNamespace(wing_level=_wing_level)
refine = types.SimpleNamespace(error_norm=_error_norm,
                               weighted=lambda model, measured, w: lambda values: (measured - model(values)) * w)

rng = np.random.default_rng(20)
SPECIAL = [0.0, -0.0, 1e-300, -5e-324, 1e300, math.inf, -math.inf, math.nan]
POSITIONS = [np.linspace(-20.0, 20.0, 41), np.linspace(-14.0, 14.0, 15) - 0.7, rng.uniform(-300.0, 300.0, 57),
             rng.normal(0.0, 0.4, 23), np.array(SPECIAL)]


def bits(values):
    """The values' bit patterns: equal arrays of them are the same numbers, NaNs and signed zeros included."""
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def same_bits(a, b):
    return np.array_equal(bits(a), bits(b))


@pytest.mark.filterwarnings("ignore:overflow encountered")  # the objective's squares of 1e300 mm
@pytest.mark.parametrize("x", POSITIONS)
def test_weights_weighted_residuals_and_error_norm_equal_the_objectives(x):
    for scans in (1, 3):
        sqrt_weights = objective._sqrt_weights(x, scans)
        assert same_bits(np.tile(_forward.fit_weights(x), scans), sqrt_weights)
        measured = 1 + rng.normal(0.0, 0.05, x.size * scans)
        model = 1 + rng.normal(0.0, 0.05, x.size * scans)
        expected = refine.weighted(lambda values: model, measured, sqrt_weights)(None)
        residuals = _forward.weighted_residuals(measured, model.tolist(), x, scans)
        assert same_bits(residuals, expected)
        if np.all(np.isfinite(x)):
            assert _forward.error_norm(residuals) == refine.error_norm(expected)
    with pytest.raises(ValueError, match="weighted_residuals: expected 2 scans"):
        _forward.weighted_residuals(np.ones(x.size), np.ones(x.size), x, 2)


def test_error_norm_is_minpacks_enorm():
    for r in ([], [0.0], [-3.0, 4.0], rng.normal(0.0, 1e-12, 1000), rng.normal(0.0, 1e12, 999),
              rng.uniform(-1.0, 1.0, 4096) * 10.0 ** rng.uniform(-15, 15, 4096)):
        assert _forward.error_norm(r) == refine.error_norm(r)
    # Beyond the ordinary range enorm scales the squares where the plain sum would overflow.
    assert _forward.error_norm([1e200, -1e200]) == pytest.approx(math.sqrt(2) * 1e200, rel=1e-15)
    assert math.isnan(_forward.error_norm([1.0, math.nan]))


@pytest.mark.parametrize("y", [rng.normal(1.0, 0.1, 30), [1.0, 0.5, 0.5, 2.0, 2.0, 0.7], [0.0, -0.0, 0.0],
                               [1.0, math.nan, 0.5, math.nan], [math.inf, -math.inf, 3.0], [0.9]],
                         ids=["random", "ties", "signed zeros", "nan", "infinities", "one value"])
def test_centre_index_is_numpys_argmin_or_argmax_as_objective_centres(y):
    y = np.asarray(y, dtype=np.float64)
    for is_sa in (False, True):
        k = _forward.centre_index(y, is_sa)
        assert k == int(np.argmax(y) if is_sa else np.argmin(y))
        # One scan of every layout the library reads: positions of one scan, scans as rows.
        n = 3 if y.size % 3 == 0 else y.size
        m = types.SimpleNamespace(positions=np.arange(n) * 2.0 - 5.0, transmittance=y.reshape(-1, n))
        assert m.positions[k % n] == objective.centre(m, is_sa)
    with pytest.raises(ValueError, match="attempt to get argmax of an empty sequence"):
        _forward.centre_index([], True)


def test_start_multipliers_and_wing_level_equal_the_librarys():
    for n in [*range(0, 12), 100]:
        assert same_bits(_forward.start_multipliers(n), [open_fit.start_multiplier(i, n) for i in range(n)])
    # fit_zscan's own starts: k3 cannot move in the frozen case, so each row keeps its start value.
    case = frozen_case(n_starts=4)
    rows = np.reshape(fit_zscan(**case)[2].base, (4, -1))
    assert same_bits(rows[:, 2], [case["spec_pars"][2] * m for m in _forward.start_multipliers(4)])
    for n in (5, 6, 9, 10, 11, 41):
        ratios = rng.uniform(0.5, 1.0, n)
        assert same_bits(_forward.wing_level(ratios), curve.wing_level(ratios))
    assert same_bits(_forward.wing_level([1e308, 1e308, 1.0, 2.0, 3.0]), curve.wing_level([1e308, 1e308, 1.0, 2.0, 3.0]))
    with pytest.raises(ValueError, match="at least 5 ratios, got 4"):
        _forward.wing_level([1.0] * 4)


def test_the_steps_together_reproduce_a_fit_zscan_call():
    grid = [BEAM[k] for k in ("t_slices", "z_slices", "sample_width", "tau", "wavelength", "w0", "M2")]
    energies = [1e-6, 2e-6]
    x = np.linspace(-14.0, 14.0, 15) + 0.7  # the dip off every position: the centring moves them
    measured = np.array(_forward.model_curves(x.tolist(), energies, POPULATIONS, TRUE_PARS, *grid))
    measured += np.random.default_rng(5).normal(0.0, 2e-3, measured.size)
    start = list(TRUE_PARS)
    start[1] *= 2.0
    args = fit_arguments(np.tile(x, 2), measured, start, [1], 15, 2, energies=energies)
    args["n_starts"] = 3
    residuals, error, fitted = fit_zscan(**args)

    k = _forward.centre_index(measured, False)
    centred = (args["x_data"] - args["x_data"][k])[:15]
    model = _forward.model_curves(centred.tolist(), energies, POPULATIONS, fitted.tolist(), *grid)
    assert same_bits(measured - model, residuals)
    assert _forward.error_norm(_forward.weighted_residuals(measured, model, centred, 2)) == error
    ratios = _forward.transmittance_ratios(centred.tolist(), energies, POPULATIONS, fitted.tolist(), *grid)
    for scan in (slice(0, 15), slice(15, 30)):
        shifted = np.array(ratios[scan]) + (1 - _forward.wing_level(ratios[scan]))
        assert same_bits(shifted, model[scan])

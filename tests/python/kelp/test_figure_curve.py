"""The figure's smooth model curve agrees with the fit's model at the measured positions, also
when the dip is off 0 (the fit then shifts the positions) and the scan is in descending order."""
import numpy as np
import pytest

from conftest import require_module

require_module("kelp_wrapper")
require_module("kelp.core._core")


@pytest.mark.parametrize("descending", [False, True])
def test_curve_through_the_fits_model_at_the_measured_points(simulated, descending):
    from kelp.report.curve import fitted_curves
    from kelp.fit.fitting import fit
    from kelp.io.measurement import read_measurement
    from kelp.io.settings import load_settings
    # 15 positions from -16.5 to 23.5 mm around a dip at 0: the lowest point, where the fit
    # puts its 0, is at 9/14 mm.
    settings, data = simulated(overrides=["k2=1e-17"], x_min=-16.5, x_max=23.5, noise=2e-3)
    if descending:
        lines = data.read_text().splitlines(keepends=True)
        data.write_text(lines[0] + "".join(reversed(lines[1:])))
    result = fit(read_measurement(data), load_settings(settings))
    grid, fine, at_measured = fitted_curves(result, points=101)
    # The figure draws the refined model (fit_zscan's with --no-refine).
    model = result.refined.model if result.refined is not None else result.model
    np.testing.assert_allclose(at_measured, model, rtol=0, atol=1e-12)
    unrefined = fit(read_measurement(data), load_settings(settings), refine=False)
    np.testing.assert_allclose(fitted_curves(unrefined, points=101)[2], unrefined.model, rtol=0, atol=1e-12)
    positions = result.measurement.positions
    assert grid[0] == positions.min() and grid[-1] == positions.max() and fine.shape == (2, 101)
    # The grid's ends are measured positions: there the curve is the fit's model, bit for bit.
    ends = [int(np.argmin(positions)), int(np.argmax(positions))]
    assert np.array_equal(fine[:, [0, -1]], at_measured[:, ends])
    # The curve's lowest point is the fit's focus, not the position 0 of the file.
    assert grid[np.argmin(fine[1])] == pytest.approx(9 / 14, abs=0.25)

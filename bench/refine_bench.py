"""Cost of the refinement and of the grid check against the fit_zscan call they follow.

The 3-scan case: a reverse saturable absorber (5 ns pulses at 1, 2 and 4 µJ, 532 nm, w0 = 20 µm),
41 positions from -20 to 20 mm, a 21 x 11 grid, k2 and tau4 fitted from twice their true
values with 3 starts, seeded noise of 2e-3.  Prints figures; compare only within one run on
a shared machine.

    scripts/kelp-env env PYTHONPATH=$PWD:build/wrapper python3.14 bench/refine_bench.py
"""
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from kelp.fit import refine  # noqa: E402
from kelp.api import measurement_from_arrays  # noqa: E402
from kelp.fit.assess import assess  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.models.forward import positions, simulate  # noqa: E402
from kelp.fit.gridcheck import check_grid  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402

TRUE = dict(k1=1e-18, k2=1e-17, k3=1e-17, tau4=1e-9, tau5=1e-8, tau6=1e-13, tau7=1e-6, tau8=1e-13)


def case():
    base = dict(pulse_energies=[1e-6, 2e-6, 4e-6], wavelength=532e-9, w0=20e-6, tau=5e-9, sample_width=1e-3,
                t_slices=21, z_slices=11, populations=[1e20, 0, 0, 0, 0], fit=["k2", "tau4"], n_starts=3,
                parameters=dict(TRUE))
    x = positions(-20.0, 20.0, 41)
    y = simulate(settings_from_mapping(base), x, noise=2e-3, seed=1)
    start = dict(TRUE, k2=2e-17, tau4=2e-9)
    s = settings_from_mapping({**base, "parameters": start})
    return s, measurement_from_arrays(x, y, s.pulse_energies)


def seconds(function, *args, **kwargs):
    started = time.perf_counter()
    out = function(*args, **kwargs)
    return out, time.perf_counter() - started


def main():
    s, m = case()
    objective = Objective.of(m, s)
    values = [2e-17, 2e-9]
    per_eval = statistics.median(seconds(objective.model, values)[1] for _ in range(3))
    print(f"one model evaluation (3 scans x 41 positions, 21 x 11): {per_eval:.3f} s")

    result = fit(m, s, refine=False)
    print(f"fit_zscan, 3 starts: {result.wall_time:.2f} s (about {result.wall_time / per_eval:.0f} evaluations' "
          f"worth), error {result.error!r}")
    start = [result.fitted[n] for n in s.fit]
    print(f"objective here at fit_zscan's parameters: {objective.error(start)!r} "
          f"(bit for bit: {'yes' if objective.error(start) == result.error else 'no'})")

    runs = {}
    for threads in (1, refine.default_threads(2)):
        runs[threads] = refine.refine(objective.problem(start), threads=threads)
        r = runs[threads]
        print(f"refinement, {threads} thread{'s' if threads != 1 else ''}: {r.evaluations} evaluations, "
              f"{r.wall_time:.2f} s ({r.wall_time / result.wall_time:.0%} of fit_zscan), error {r.error!r}, "
              f"{r.message}")
    a, b = runs.values()
    print(f"same bits on 1 and {max(runs)} threads: {'yes' if np.array_equal(a.values, b.values) else 'no'}")

    r = runs[1]
    model, t_model = seconds(objective.model, r.values)
    check, t_check = seconds(check_grid, objective, r.values, model)
    print(f"grid check: 2 evaluations ({t_model:.2f} s at 21 x 11, {t_check:.2f} s at {check.t_slices} x "
          f"{check.z_slices}), {(t_model + t_check) / result.wall_time:.0%} of fit_zscan; change "
          f"{check.max_model_change:.3g}, signal {check.signal:.3g}, residual rms {check.residual_rms:.3g}")

    assessed = assess(result)
    for name in assessed.names:
        v, se = assessed.parameters[name], assessed.standard_errors[name]
        print(f"  {name}: fit_zscan {result.fitted[name]:.5g} -> refined {v:.5g} ± {se:.2g} ({se / v:.0%}), "
              f"truth {TRUE[name]:.3g}")
    print(f"  correlation {assessed.correlation[0, 1]:+.4f}; warnings: {len(assessed.warnings)}")


if __name__ == "__main__":
    main()

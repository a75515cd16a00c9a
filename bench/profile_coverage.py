"""How often the profile intervals and the ± standard-error intervals cover the truth.

Seeded noise draws on the tests' small cases (2 scans of 15 positions, 5 x 3 grid, 100 ps or
5 ns pulses), each refined from the truth and profiled; prints, per fitted parameter, the
share of draws whose 68 % and 95 % intervals hold the true value, with the binomial spread of
that share, and the mean cost of a profile.  With 200 draws a coverage of 68 % scatters by
3.3 points (one sigma).

    scripts/kelp-env env PYTHONPATH=$PWD:build/wrapper python3.14 bench/profile_coverage.py [draws] [case ...]
"""
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python", "kelp"))

import refine_cases as cases  # noqa: E402
from kelp.api import measurement_from_arrays  # noqa: E402
from kelp.fit import refine, uncertainty  # noqa: E402
from kelp.fit.assess import profile_of  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402

CASES = {
    "k2": dict(fit=["k2"]),
    "k1+k2": dict(fit=["k1", "k2"]),                # 100 ps: correlated about -0.97
    "k2+tau4": dict(fit=["k2", "tau4"], tau=5e-9, pulse_energies=[1e-6, 2e-6, 4e-6]),  # about -0.99
}
NOISE = 2e-3


def draw(s, clean, seed):
    """One noise draw refined from the truth: (values, standard errors, profile)."""
    noisy = clean.transmittance + np.random.default_rng(seed).normal(0.0, NOISE, clean.transmittance.shape)
    objective = Objective.of(measurement_from_arrays(clean.positions, noisy, s.pulse_energies), s)
    r = refine.refine(objective.problem([cases.TRUE[n] for n in s.fit]), threads=1)
    u = uncertainty.assess_uncertainty(r.names, r.values, r.unit_scale, r.jacobian, r.residuals,
                                       objective.problem(r.values).positive)
    return r.values, u.standard_errors, profile_of(objective, r, threads=1)


def run(name, draws):
    s = cases.settings(start_factor=1.0, **CASES[name])
    clean = cases.measurement(s)
    hits = {key: np.zeros(len(s.fit)) for key in ("profile 68", "profile 95", "s.e. 68", "s.e. 95")}
    evaluations, seconds, opened = 0, 0.0, 0
    started = time.perf_counter()
    for seed in range(draws):
        values, errors, p = draw(s, clean, seed)
        evaluations += p.evaluations
        seconds += p.wall_time
        for k, n in enumerate(s.fit):
            truth, interval = cases.TRUE[n], p[n]
            lo68, hi68 = interval.bounds["68"]
            lo95, hi95 = interval.bounds["95"]
            opened += any(math.isinf(b) for b in (lo95, hi95))
            hits["profile 68"][k] += lo68 <= truth <= hi68
            hits["profile 95"][k] += lo95 <= truth <= hi95
            hits["s.e. 68"][k] += abs(values[k] - truth) <= errors[k]
            hits["s.e. 95"][k] += abs(values[k] - truth) <= 1.96 * errors[k]
    print(f"{name}: {draws} draws, {time.perf_counter() - started:.0f} s; a profile {evaluations / draws:.0f} "
          f"model evaluations, {seconds / draws:.2f} s on one thread; {opened} open 95 % intervals")
    for key, counts in hits.items():
        level = 0.68 if key.endswith("68") else 0.95
        spread = 100 * math.sqrt(level * (1 - level) / draws)
        shares = ", ".join(f"{n} {100 * c / draws:.1f} %" for n, c in zip(s.fit, counts))
        print(f"  {key:>10}: {shares}  (expected {100 * level:.0f} ± {spread:.1f} %)")


def main():
    draws = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    for name in sys.argv[2:] or CASES:
        run(name, draws)


if __name__ == "__main__":
    main()

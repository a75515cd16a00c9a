"""Fits with the resolved model as a lab would run them, refined, with standard errors and the
grid check, on the model's default grid, noise 2e-3: beta from 4 pulse energies x 61 positions
of a ZnSe-like absorber; n2 and beta together from 3 energies x (open + closed) x 61 positions of
a Kerr medium with weak two-photon absorption.  Prints the wall time (best of --repeat), the
evaluations and the recovered values.

    PYTHONPATH=.:build/wrapper python3.14 bench/resolved_fit_bench.py [--repeat 3]
"""
import argparse
import os
import time

import numpy as np

import kelp
from kelp.io.settings import settings_from_mapping
from kelp.models.forward import simulate

TRUE_BETA = 5.8e-11  # m/W
SETTINGS = {
    "model": "resolved", "pulse_energies": [0.1e-6, 0.2e-6, 0.3e-6, 0.4e-6], "wavelength": 532e-9, "w0": 20e-6,
    "tau": 20e-12, "sample_width": 1e-3, "populations": [0, 0, 0, 0, 0], "fit": ["beta"],
    "parameters": {"k1": 0, "k2": 0, "k3": 0, "tau4": 1e-9, "tau5": 1e-8, "tau6": 1e-13, "tau7": 1e-6,
                   "tau8": 1e-13, "beta": TRUE_BETA},
}


KERR = {**SETTINGS, "pulse_energies": [0.25e-6, 0.5e-6, 1e-6] * 2, "apertures": ["open"] * 3 + ["closed"] * 3,
        "aperture_S": 0.3, "fit": ["n2", "beta"],
        "parameters": {**SETTINGS["parameters"], "beta": 1e-11, "n2": 3e-18}}
CASES = {"two-photon": (SETTINGS, {"beta": TRUE_BETA}), "kerr": (KERR, {"n2": 3e-18, "beta": 1e-11})}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    x = np.linspace(-15.0, 15.0, 61)
    for label, (mapping, truth_values) in CASES.items():
        truth = settings_from_mapping(mapping)
        scans = simulate(truth, x, noise=2e-3, seed=7)
        start = {**mapping, "parameters": {**mapping["parameters"], **{n: 2 * v for n, v in truth_values.items()}}}
        print(f"{label}: resolved model, grid {truth.t_slices} x {truth.z_slices} x {truth.radial_nodes} nodes, "
              f"{len(x)} positions x {len(mapping['pulse_energies'])} scans, {truth.n_starts} starts, "
              f"KELP_THREADS={os.environ.get('KELP_THREADS', 'all CPUs')} ({os.cpu_count()} CPUs)")
        best = None
        for _ in range(args.repeat):
            started = time.perf_counter()
            result = kelp.fit_measurement((x, scans), start)
            elapsed = time.perf_counter() - started
            best = elapsed if best is None else min(best, elapsed)
            a = result.refined
            values = ", ".join(f"{n} = {a.parameters[n]:.4g} ± {a.standard_errors[n]:.2g} (truth {v:g})"
                               for n, v in truth_values.items())
            print(f"  {elapsed:.2f} s: {values}; {a.evaluations} evaluations, grid check changes the model by "
                  f"{a.grid_check.max_model_change:.2g} of a signal {a.grid_check.signal:.2g}; "
                  f"{len(result.warnings)} warnings")
        print(f"  best of {args.repeat}: {best:.2f} s")


if __name__ == "__main__":
    main()

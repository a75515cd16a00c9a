"""Fit two parameters of a reverse saturable absorber to two synthetic Z-scans.

The scans come from the forward model (the kelp_curve program) at known parameters, one at
each of two pulse energies, with a little seeded noise.  fit_zscan then fits k2 (the excited
state's cross-section) and k1 (the ground state's) together, from three starts spread from
0.302 to 3.311 times the given values, and the result is compared with the truth.  The
noise, and the way k1 and k2 can partly stand in for each other at this pulse length, leave the
fitted values a few percent off; lmdif1 stops at a tolerance of 1e-3.

    python3.14 examples/demo_fit.py [--kelp-curve PATH]

With build/wrapper (or $KELP_BUILD/wrapper) on PYTHONPATH; scripts/demo sets it up.
"""
import argparse
import io
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

import kelp_wrapper

NAMES = ("k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8")
UNITS = ("cm^2", "cm^2", "cm^2", "s", "s", "s", "s", "s")
TRUE_PARS = (1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13)
FIT = (1, 0)  # k2 and k1
GIVEN = {0: 2e-18, 1: 2e-17}  # what the fit is told; its starts are 0.302, 1 and 3.311 times these
N_STARTS = 3

# Two scans of 31 positions from -20 to 20 mm (one at the focus); a 100 ps, 532 nm pulse
# focused to 20 um on a 1 mm sample, sampled at 15 time points and 7 depth slices.
ENERGIES = (1e-6, 2e-6)
POINTS, X_MIN, X_MAX = 31, -20.0, 20.0
BEAM = dict(t_slices=15, z_slices=7, sample_width=1e-3, tau=1e-10, wavelength=532e-9, w0=20e-6, M2=1.0)
POPULATIONS = (1e20, 0.0, 0.0, 0.0, 0.0)
NOISE, SEED = 0.002, 7


def synthetic_scans(kelp_curve):
    """Positions (mm) and noisy transmittances, one column per pulse energy."""
    args = [f"{n}={v!r}" for n, v in zip(NAMES, TRUE_PARS)]
    args += [f"{k}={v!r}" for k, v in BEAM.items()]
    args += [f"energies={','.join(map(repr, ENERGIES))}", f"points={POINTS}", f"x_min={X_MIN!r}",
             f"x_max={X_MAX!r}", f"noise={NOISE!r}", f"seed={SEED}"]
    csv = subprocess.run([kelp_curve, *args], check=True, capture_output=True, text=True).stdout
    table = np.loadtxt(io.StringIO(csv), delimiter=",", skiprows=1, ndmin=2)
    return table[:, 0], table[:, 1:]


def default_kelp_curve():
    build = os.environ.get("KELP_BUILD") or pathlib.Path(__file__).resolve().parents[1] / "build"
    return str(pathlib.Path(build) / "kelp_curve")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kelp-curve", default=default_kelp_curve(), help="the forward-model program")
    options = parser.parse_args()

    x, scans = synthetic_scans(options.kelp_curve)
    num_x_pts, num_datasets = scans.shape
    x_data = np.tile(x, num_datasets)  # scan after scan
    y_data = np.ascontiguousarray(scans.T).ravel()
    spec_pars = np.array(TRUE_PARS)
    for k, value in GIVEN.items():
        spec_pars[k] = value

    print(f"{num_datasets} synthetic scans at {', '.join(f'{e * 1e6:g} uJ' for e in ENERGIES)}: "
          f"{num_x_pts} positions from {X_MIN:g} to {X_MAX:g} mm, Gaussian noise {NOISE:g} (seed {SEED})")
    print(f"model grid {BEAM['t_slices']} time points x {BEAM['z_slices']} depth slices, "
          f"{BEAM['tau'] * 1e12:g} ps pulses at {BEAM['wavelength'] * 1e9:g} nm, w0 = {BEAM['w0'] * 1e6:g} um")
    print(f"fitting {' and '.join(NAMES[k] for k in FIT)} from {N_STARTS} starts ...", flush=True)

    began = time.perf_counter()
    residuals, error, fitted = kelp_wrapper.fit_zscan(
        x_data, y_data, np.array(POPULATIONS), BEAM["t_slices"], BEAM["z_slices"], BEAM["sample_width"],
        BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"], np.array(ENERGIES), spec_pars,
        np.array(FIT, dtype=np.int32), num_x_pts, num_datasets, False, N_STARTS)
    seconds = time.perf_counter() - began

    d = N_STARTS - 1 if N_STARTS > 1 else 1
    multipliers = [10.0 ** ((i * 1.04) / d - 0.52) for i in range(N_STARTS)]
    header = f"{'':6}{'true':>11}" + "".join(f"{f'start {i + 1}':>11}" for i in range(N_STARTS))
    print()
    print(header + f"{'fitted':>13}{'off by':>10}")
    for k in FIT:
        starts = "".join(f"{spec_pars[k] * m:11.4g}" for m in multipliers)
        off = (fitted[k] - TRUE_PARS[k]) / TRUE_PARS[k]
        print(f"{NAMES[k]:6}{TRUE_PARS[k]:11.4g}{starts}{fitted[k]:13.6g}{off:+10.2%}  {UNITS[k]}")
    print()
    print(f"fit error (weighted residual norm): {error:.6g}")
    print(f"rms residual: {np.sqrt(np.mean(residuals ** 2)):.3g} (noise {NOISE:g})")
    print(f"fit time: {seconds:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

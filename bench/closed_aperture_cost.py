"""Cost of one resolved-model evaluation behind a closed aperture against the same evaluation
open, with KELP_THREADS=1 and with every CPU this process may use, and whether every budget gives
the same bits.  Prints figures; the machines are shared and noisy, so compare within one run.

    scripts/kelp-env env PYTHONPATH=.:build/wrapper python3.14 bench/closed_aperture_cost.py [--quick]

One scan of 41 positions (-20 .. 20 mm, 21 distinct peaks), 532 nm, w0 = 20 um (z_R = 2.4 mm,
|x| <= 8.5), 5 ns pulses at 1 uJ, a 1 mm sample, the default grid 41 x 21 x 6: the demo's
reverse saturable absorber with n2 = 1e-18 m^2/W and kr2 = 1e-17 cm^2, and a sample that only
refracts (Kerr, no populations: its columns cost next to nothing, so the far field is all).
Each budget runs in a child process, since the budget is read once per process.  --quick: best
of 1 instead of 3.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from open_aperture_cost import budgets, same_bits, table_head, timed  # noqa: E402

RSA = [1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13]
BEAM = (41, 21, 1e-3, 5e-9, 532e-9, 20e-6, 1.0)  # t_slices, z_slices, sample_width, tau, wavelength, w0, M2
X = [float(i) for i in range(-20, 21)]
SAMPLES = {"RSA + n2 + kr2": ([1e20, 0, 0, 0, 0], RSA), "Kerr only": ([0, 0, 0, 0, 0], [0, 0, 0, 1, 1, 1, 1, 1])}
DETECTORS = [None, ["closed"], ["divided"]]


def child(repeats):
    """Times every case on this process's budget; prints one JSON object."""
    from kelp.core import _core as _forward
    out = {}
    for sample, (populations, pars) in SAMPLES.items():
        for detectors in DETECTORS:
            def evaluate():
                return _forward.resolved_curves(X, [1e-6], populations, pars, *BEAM, detectors=detectors,
                                                aperture_S=0.1, n2=1e-18, kr=(1e-17, 0, 0, 0))
            out[f"{sample}|{detectors[0] if detectors else 'open'}"] = timed(evaluate, repeats)
    print(json.dumps(out))


def main():
    runs, repeats = budgets(__file__, child)
    if runs is None:
        return
    print(f"One evaluation, 41 positions, one scan, 41 x 21 x 6 (best of {repeats}); ratio: against the same "
          "sample open on the same budget")
    table_head(["sample", "detector"], runs)
    for key in runs[1]:
        sample, detector = key.split("|")
        cells = " | ".join(f"{runs[t][key][0] * 1e3:.1f} ms ({runs[t][key][0] / runs[t][f'{sample}|open'][0]:.2f}x)"
                           for t in runs)
        print(f"| {sample} | {detector} | {cells} |")
    same_bits(runs)


if __name__ == "__main__":
    main()

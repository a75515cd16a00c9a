"""Cost of one model evaluation: the open-aperture model, with DLSODA rate steps and with exact
ones, against the on-axis model of the fit, with KELP_THREADS=1 and with every CPU this process
may use, and whether the two give the same bits.  Prints figures; the machines are shared and
noisy, so compare within one run.

    scripts/kelp-env env PYTHONPATH=.:build/wrapper python3.14 bench/open_aperture_cost.py [--quick]

One scan of 41 positions, 532 nm, w0 = 20 um, 5 ns pulses at 1 uJ, a 1 mm sample, the demo's
reverse saturable absorber (with two-photon absorption beta = 1e-11 m/W: the exact steps with
pumping, on the augmented 6 x 6 matrix).  Symmetric: -20 .. 20 mm, every position but the focus mirrored
(21 distinct); off-centre: -15 .. 25 mm (26 distinct).  Each budget runs in a child process,
since the budget is read once per process.  --quick: best of 1 instead of 3.
"""
import hashlib
import json
import math
import os
import subprocess
import sys
import time

RSA = [1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13]
BEAM = (1e-3, 5e-9, 532e-9, 20e-6, 1.0)  # sample_width, tau, wavelength, w0, M2
SCANS = {"symmetric": [float(i) for i in range(-20, 21)], "off-centre": [float(i) for i in range(-15, 26)]}
# (label, model, t_slices, z_slices, radial nodes, open-aperture keywords)
CASES = [("on-axis 21 x 11", "on-axis", 21, 11, None, {}),
         ("on-axis 41 x 21", "on-axis", 41, 21, None, {}),
         ("open-aperture 21 x 11 x 6, DLSODA steps", "open-aperture", 21, 11, 6, {"steps": "integrated"}),
         ("open-aperture 21 x 11 x 6, exact steps", "open-aperture", 21, 11, 6, {}),
         ("open-aperture 41 x 21 x 6, DLSODA steps", "open-aperture", 41, 21, 6, {"steps": "integrated"}),
         ("open-aperture 41 x 21 x 6, exact steps", "open-aperture", 41, 21, 6, {}),
         ("open-aperture 41 x 21 x 6, exact steps, beta", "open-aperture", 41, 21, 6, {"beta": 1e-11}),
         ("open-aperture 31 x 11 x 6, DLSODA steps", "open-aperture", 31, 11, 6, {"steps": "integrated"}),
         ("open-aperture 31 x 11 x 6, exact steps (default)", "open-aperture", 31, 11, 6, {})]
# (DLSODA case, exact case) on the same grid: the speed-up of the exact steps.
PAIRS = [(CASES[2][0], CASES[3][0]), (CASES[4][0], CASES[5][0]), (CASES[7][0], CASES[8][0])]


def timed(evaluate, repeats):
    """(best time in s of `repeats` calls, a digest of the values' bits)."""
    best = math.inf
    for _ in range(repeats):
        started = time.perf_counter()
        values = evaluate()
        best = min(best, time.perf_counter() - started)
    return best, hashlib.sha256(b"".join(v.hex().encode() for v in values)).hexdigest()


def budgets(script, child):
    """In a child process (--child), child(repeats) and None.  Otherwise runs `script --child`
    with KELP_THREADS=1 and with every CPU, each in a process of its own (the budget is read
    once per process): {threads: the child's JSON object}, and the repeats."""
    repeats = 1 if "--quick" in sys.argv else 3
    if "--child" in sys.argv:
        child(repeats)
        return None, repeats
    runs = {}
    for threads in sorted({1, len(os.sched_getaffinity(0))}):
        env = dict(os.environ, KELP_THREADS=str(threads))
        done = subprocess.run([sys.executable, script, "--child"] + (["--quick"] if repeats == 1 else []),
                              env=env, check=True, capture_output=True, text=True)
        runs[threads] = json.loads(done.stdout.splitlines()[-1])
    return runs, repeats


def table_head(columns, runs, last=""):
    """Prints a Markdown table's head: the columns, one per budget, and `last`."""
    header = "| " + " | ".join(columns) + " | " + " | ".join(f"KELP_THREADS={t}" for t in runs) + " |" + last
    print(header)
    print("|---" * (header.count("|") - 1) + "|")


def same_bits(runs):
    """Prints whether every budget gave every case the same bits."""
    same = all(len({runs[t][key][1] for t in runs}) == 1 for key in runs[1])
    print(f"\nsame bits with every budget: {'yes' if same else 'NO'}")


def child(repeats):
    """Times every case on this process's budget; prints one JSON object."""
    from kelp.core import _core as _forward
    out = {}
    for label, model, n_t, n_z, nodes, keywords in CASES:
        for scan, x in SCANS.items():
            def evaluate():
                if model == "on-axis":
                    return _forward.model_curves(x, [1e-6], [1e20, 0, 0, 0, 0], RSA, n_t, n_z, *BEAM)
                return _forward.open_aperture_curves(x, [1e-6], [1e20, 0, 0, 0, 0], RSA, n_t, n_z, *BEAM,
                                                     radial_nodes=nodes, **keywords)
            out[f"{label}|{scan}"] = timed(evaluate, repeats)
    print(json.dumps(out))


def main():
    runs, repeats = budgets(__file__, child)
    if runs is None:
        return
    base = runs[1]["on-axis 21 x 11|symmetric"][0]
    print(f"One evaluation, 41 positions, one scan (best of {repeats}); x: against the on-axis model on "
          "21 x 11, symmetric scan, one thread")
    table_head(["model and grid", "scan"], runs, " speed-up |")
    for label, *_ in CASES:
        for scan in SCANS:
            key = f"{label}|{scan}"
            times = [runs[t][key][0] for t in runs]
            cells = " | ".join(f"{s * 1e3:.0f} ms ({s / base:.1f}x)" for s in times)
            print(f"| {label} | {scan} | {cells} | {times[0] / times[-1]:.2f}x |")
    print("\nExact steps against DLSODA steps on the same grid (time with DLSODA / time exact)")
    for integrated, exact in PAIRS:
        for scan in SCANS:
            ratios = ", ".join(f"KELP_THREADS={t}: {runs[t][f'{integrated}|{scan}'][0] / runs[t][f'{exact}|{scan}'][0]:.1f}x"
                               for t in runs)
            print(f"  {exact.split(',')[0]}, {scan}: {ratios}")
    same_bits(runs)


if __name__ == "__main__":
    main()

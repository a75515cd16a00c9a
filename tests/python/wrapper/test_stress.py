"""Many threads calling fit_zscan at once for a while: every result is the serial one, bit for bit.

Twice as many threads as cores (at least six) each go round the same list of calls, every
thread starting at its own place, so that at any moment different calls with different data
run together; among the fits are calls that fail (a size check, no starts, memory that cannot
be had), whose unwinding must not disturb the fits beside them.  KELP_STRESS_SECONDS sets how
long the threads keep calling (default 20).
"""
import os
import threading
import time

import numpy as np
import pytest

from conftest import POPULATIONS, TRUE_PARS
from kelp_wrapper import fit_zscan

SECONDS = float(os.environ.get("KELP_STRESS_SECONDS", "20"))
THREADS = max(6, 2 * (os.cpu_count() or 1))


def fit_case(seed):
    """A small fit of its own: 7 to 9 positions, one to three scans, 1 to 3 starts."""
    rng = np.random.default_rng(seed)
    n_x = int(rng.integers(7, 10))
    n_d = int(rng.integers(1, 4))
    x = np.tile(np.linspace(-12.0, 12.0, n_x) + rng.uniform(-1, 1), n_d)
    depth = np.repeat(rng.uniform(0.01, 0.08, n_d), n_x)
    y = 1 - depth * np.exp(-(x / rng.uniform(2, 6)) ** 2) + 1e-3 * rng.standard_normal(x.size)
    pars = np.array(TRUE_PARS) * rng.uniform(0.5, 2.0, 8)
    indices = [[1], [0, 1], [1, 3], [2]][seed % 4]
    return dict(
        x_data=x, y_data=y, populations=np.array(POPULATIONS), t_slices=int(rng.integers(2, 5)),
        z_slices=int(rng.integers(2, 4)), sample_width=1e-3, tau=1e-10 * rng.uniform(0.5, 2), wavelength=532e-9,
        w0=20e-6, M2=1.0, pulse_energy=np.array([1e-6, 2e-6, 4e-6][:n_d]), spec_pars=pars,
        fit_indices=np.array(indices, dtype=np.int32), num_x_pts=n_x, num_datasets=n_d, is_sa=bool(seed % 5 == 0),
        n_starts=int(rng.integers(1, 4)))


def failing_cases():
    """Calls that fail at different depths: (arguments, exception type, message)."""
    base = fit_case(1000)
    points = 2**20
    x = np.linspace(-10.0, 10.0, points)
    # 2**20 positions x 2**25 time points: an irradiance table of 256 TiB, which no machine has.
    memory = {**base, "x_data": x, "y_data": 1 - 0.01 * np.exp(-x * x), "num_x_pts": points, "num_datasets": 1,
              "t_slices": 2**25, "n_starts": 1}
    return [
        ({**base, "populations": np.ones(4)}, ValueError, "populations: expected 5 values, got 4"),
        ({**base, "n_starts": 0}, IndexError, "Out of bounds on buffer access (axis 0)"),
        (memory, MemoryError, f"Error allocating {points * 2**25 * 8} bytes"),
    ]


def same_bits(a, b):
    return (a[0].tobytes() == b[0].tobytes() and np.float64(a[1]).tobytes() == np.float64(b[1]).tobytes() and
            a[2].tobytes() == b[2].tobytes())


@pytest.mark.slow
def test_concurrent_calls_on_different_data_give_the_serial_results(capsys):
    fits = [fit_case(seed) for seed in range(2 * THREADS)]
    expected = [fit_zscan(**case) for case in fits]  # serially, one after another
    failing = failing_cases()
    work = [("fit", i) for i in range(len(fits))]
    for j in range(len(failing)):
        work.insert(4 * j + 2, ("fail", j))

    start = threading.Barrier(THREADS)
    lock = threading.Lock()
    calls = [0] * THREADS
    wrong = []

    def worker(t):
        start.wait()
        deadline = time.monotonic() + SECONDS
        k = t * len(work) // THREADS
        while time.monotonic() < deadline:
            kind, i = work[k % len(work)]
            k += 1
            try:
                if kind == "fit":
                    got = fit_zscan(**fits[i])
                    if not same_bits(got, expected[i]):
                        with lock:
                            wrong.append(f"thread {t}: fit {i} differs from its serial result")
                else:
                    args, error, message = failing[i]
                    try:
                        fit_zscan(**args)
                        with lock:
                            wrong.append(f"thread {t}: failing call {i} returned")
                    except error as e:
                        if str(e) != message:
                            with lock:
                                wrong.append(f"thread {t}: failing call {i} said {e!r}")
            except Exception as e:  # noqa: BLE001 -- reported as a fault of the call
                with lock:
                    wrong.append(f"thread {t}: {kind} {i} raised {e!r}")
            calls[t] += 1

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    began = time.monotonic()
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=SECONDS + 120)
    elapsed = time.monotonic() - began
    stuck = [i for i, th in enumerate(threads) if th.is_alive()]
    with capsys.disabled():
        print(f"\nfit_zscan stress: {THREADS} threads on {os.cpu_count()} cores, {sum(calls)} calls in "
              f"{elapsed:.1f} s (per thread {min(calls)} to {max(calls)}), {len(wrong)} wrong")
    assert not stuck, f"threads {stuck} still running {SECONDS + 120:.0f} s after the deadline"
    assert not wrong, "\n".join(wrong[:20])
    assert min(calls) >= 2
    # The interpreter and the module are still fine afterwards.
    assert same_bits(fit_zscan(**fits[0]), expected[0])

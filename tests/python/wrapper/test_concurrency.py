"""Calls from several Python threads at once: none disturbs another, and a running fit lets
the other threads run."""
import threading
import time

import numpy as np

from conftest import TRUE_PARS, fit_arguments
from kelp_wrapper import fit_zscan


def case(energy, k2_start, is_sa=False):
    """Two scans of 13 positions, k2 fitted from 3 starts; the curves are made up."""
    x = np.linspace(-12.0, 12.0, 13)
    dip = np.exp(-(x / 5) ** 2)
    y = np.concatenate([1 - 0.02 * dip, 1 - 0.035 * dip])
    if is_sa:
        y = 2 - y
    pars = list(TRUE_PARS)
    pars[1] = k2_start
    args = fit_arguments(np.tile(x, 2), y, pars, [1], 13, 2, energies=(energy, 2 * energy))
    args.update(n_starts=3, is_sa=is_sa)
    return args


CASES = [case(1e-6, 2e-17), case(0.5e-6, 3e-17), case(2e-6, 1e-17), case(1e-6, 2e-17, is_sa=True)]


def test_simultaneous_calls_give_each_its_result_alone_to_the_bit():
    alone = [fit_zscan(**c) for c in CASES]
    results = [None] * len(CASES)
    start = threading.Barrier(len(CASES))

    def run(i):
        start.wait()
        results[i] = fit_zscan(**CASES[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(CASES))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, expected in zip(results, alone):
        assert got is not None
        assert np.array_equal(got[0], expected[0]) and got[1] == expected[1]
        assert np.array_equal(got[2], expected[2])


def test_other_threads_run_while_a_fit_runs():
    span = []

    def timed_fit():
        t0 = time.perf_counter()
        fit_zscan(**CASES[0])
        span.extend([t0, time.perf_counter()])

    worker = threading.Thread(target=timed_fit)
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    # Had the fit kept the interpreter lock, this thread could not have run in the middle of it.
    t0, t1 = span
    quarter = (t1 - t0) / 4
    assert sum(t0 + quarter < t < t1 - quarter for t in stamps) > 100

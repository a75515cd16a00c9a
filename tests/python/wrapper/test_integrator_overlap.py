"""Concurrent fit_zscan calls run at the same time, each on an integrator instance of its own.

Checked by order of events, not by timing: while one long call is inside its loop of starts
on a thread, the main thread keeps making short calls.  Were the integrator one instance
behind a process-wide lock, held for a call's whole loop of starts, at most one short call
could finish before the long one.
"""
import threading

import numpy as np
import pytest

from conftest import TRUE_PARS, fit_arguments, missing, private_copies_mapped
from kelp_wrapper import fit_zscan


def case(n_starts):
    """One scan of 11 positions, k2 fitted from twice its value; the curve is made up."""
    x = np.linspace(-10.0, 10.0, 11)
    y = 1 - 0.04 * np.exp(-(x / 4) ** 2)
    pars = list(TRUE_PARS)
    pars[1] = 2e-17
    args = fit_arguments(x, y, pars, [1], 11, 1, energies=(1e-6,))
    args["n_starts"] = n_starts
    return args


def same_result(a, b):
    return np.array_equal(a[0], b[0]) and a[1] == b[1] and np.array_equal(a[2], b[2])


def test_short_calls_finish_while_a_long_call_runs_its_starts():
    short = case(1)
    expected = fit_zscan(**short)
    if private_copies_mapped() == 0:
        missing("no private integrator copy in this process")
    long_case = case(12)
    long_expected = fit_zscan(**long_case)
    copies_before = private_copies_mapped()

    done = threading.Event()
    long_result = []

    def long_call():
        try:
            long_result.append(fit_zscan(**long_case))
        finally:
            done.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    finished_meanwhile, all_same = 0, True
    while not done.is_set():
        all_same = same_result(fit_zscan(**short), expected) and all_same
        finished_meanwhile += not done.is_set()
    worker.join()
    assert all_same
    assert long_result and same_result(long_result[0], long_expected)
    assert finished_meanwhile >= 2
    # Idle copies are reused: two threads at once need no more than two.
    assert private_copies_mapped() <= max(copies_before, 2)

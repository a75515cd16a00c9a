"""One fit_zscan call on several threads: the same bits whatever the thread budget, calls that
share the budget, and Ctrl-C that stops a fit within about one model evaluation.

Each case runs in a child interpreter: KELP_THREADS is read once per process."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import TESTS, require_module, run_python

require_module("kelp_wrapper")

# Two fits of two scans: one symmetric about its dip (mirrored positions), one not.
FITS = textwrap.dedent("""
    import hashlib, json, sys
    sys.path.insert(0, %(tests)r)
    import numpy as np
    from conftest import TRUE_PARS, fit_arguments
    from kelp_wrapper import fit_zscan

    def case(x):
        y = np.concatenate([1 - 0.03 * np.exp(-(x / 4) ** 2), 1 - 0.05 * np.exp(-(x / 4) ** 2)])
        pars = list(TRUE_PARS)
        pars[1] = 2e-17
        args = fit_arguments(np.tile(x, 2), y, pars, [1, 3], len(x), 2)
        args["n_starts"] = 3
        return args

    digests = []
    for x in (np.linspace(-12.0, 12.0, 13), np.linspace(-9.0, 15.0, 13)):
        r, e, p = fit_zscan(**case(x))
        digests.append(hashlib.sha256(r.tobytes() + np.float64(e).tobytes() + p.tobytes()).hexdigest())
    print(json.dumps(digests))
""")


def test_every_thread_budget_gives_the_same_bits():
    results = {}
    for threads in ("1", "2", "5"):
        r = run_python(FITS % {"tests": str(TESTS)}, env_update={"KELP_THREADS": threads})
        assert r.returncode == 0, r.stderr
        results[threads] = json.loads(r.stdout.splitlines()[-1])
    assert results["1"] == results["2"] == results["5"]


# Four calls from four threads at once under a budget of two: never more than two threads
# integrate, so never more than two integrator copies are loaded.
SHARED_BUDGET = textwrap.dedent("""
    import sys, threading
    sys.path.insert(0, %(tests)r)
    import numpy as np
    from conftest import TRUE_PARS, fit_arguments, private_copies_mapped
    from kelp_wrapper import fit_zscan

    x = np.linspace(-12.0, 12.0, 13)
    pars = list(TRUE_PARS)
    pars[1] = 2e-17
    args = fit_arguments(x, 1 - 0.04 * np.exp(-(x / 4) ** 2), pars, [1], 13, 1, energies=(1e-6,))
    args["n_starts"] = 4
    expected = fit_zscan(**args)[1]
    errors = []
    threads = [threading.Thread(target=lambda: errors.append(fit_zscan(**args)[1])) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(private_copies_mapped(), errors == [expected] * 4)
""")


@pytest.mark.parametrize("budget", [1, 2])
def test_concurrent_calls_share_the_budget(budget):
    r = run_python(SHARED_BUDGET % {"tests": str(TESTS)}, env_update={"KELP_THREADS": str(budget)})
    assert r.returncode == 0, r.stderr
    copies, same = r.stdout.split()[-2:]
    assert same == "True"
    # The first call's four starts alone fill the budget; lent copies are idle before their
    # slots are taken, so none is loaded beyond it.
    assert int(copies) == budget


# A long fit on the main thread, interrupted: KeyboardInterrupt, and the next fit gives the
# bits of an undisturbed one.
INTERRUPTED = textwrap.dedent("""
    import sys, time
    sys.path.insert(0, %(tests)r)
    import numpy as np
    from conftest import TRUE_PARS, fit_arguments
    from kelp_wrapper import fit_zscan

    def case(n_starts, t_slices):
        x = np.linspace(-12.0, 12.0, 13)
        pars = list(TRUE_PARS)
        pars[1] = 2e-17
        args = fit_arguments(x, 1 - 0.04 * np.exp(-(x / 4) ** 2), pars, [1, 3], 13, 1, energies=(1e-6,))
        args.update(n_starts=n_starts, t_slices=t_slices, z_slices=9)
        return args

    short = case(1, 5)
    expected = fit_zscan(**short)
    arrays = {k: v.copy() for k, v in short.items() if isinstance(v, np.ndarray)}
    print("ready", flush=True)
    started = time.perf_counter()
    try:
        fit_zscan(**case(40, 41))
        print("finished", time.perf_counter() - started)
    except KeyboardInterrupt:
        print("interrupted", time.perf_counter(), flush=True)
    again = fit_zscan(**short)
    same = all(np.array_equal(a, b) for a, b in zip(again, expected)) and again[1] == expected[1]
    untouched = all(np.array_equal(v, short[k]) for k, v in arrays.items())
    print("again", same, untouched)
""")


def test_ctrl_c_stops_a_fit_within_about_one_evaluation_and_the_next_fit_is_exact():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED % {"tests": str(TESTS)}], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)  # inside the long fit
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("interrupted"), out
    # One evaluation of this case takes well under a second here; the whole fit, minutes.
    assert float(lines[0].split()[1]) - sent < 5.0
    assert lines[1] == "again True True"

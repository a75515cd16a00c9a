"""Fuzzed calls of fit_zscan: whatever it is given, it returns a well-formed result or raises
one of its documented errors, leaves the caller's arrays as they were and the interpreter
usable.

The calls run in a child interpreter (this file run as a script), so that a crash, a hang or a
sanitizer abort ends the child and not the test session; before each call the child writes
what it is about to run, and the test names that call when the child dies.  Every call is drawn
from its own generator, seeded with (seed, call number), so one call can be replayed alone:

    python3.14 tests/python/wrapper/test_fuzz.py --replay N     (with the module on PYTHONPATH)

Valid calls are tiny (5 to 7 positions, 2 or 3 time and depth points, one or two starts, and
mostly a parameter the model does not depend on, so that a fit stops after one Jacobian).
Counts that would make a valid call run long or allocate gigabytes appear only together with
an error that stops the call before the fit (None, an index out of range, a wrong length), or
in the memory class, whose irradiance table or start matrix needs more than the address
space: those allocations fail whatever the kernel's overcommit policy, and must give
MemoryError.  KELP_FUZZ_CALLS sets the number of calls (default 10000), KELP_FUZZ_SEED the seed.
"""
import argparse
import array
import collections
import faulthandler
import json
import math
import os
import pathlib
import resource
import subprocess
import sys
import time

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parents[1]  # where conftest.py is
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from conftest import POPULATIONS, TRUE_PARS  # noqa: E402

PARAMETERS = ("x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau", "wavelength",
              "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts", "num_datasets", "is_sa",
              "n_starts")
REQUIRED = 15
ARRAYS = ("x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices")
FLOAT_ARRAYS = ARRAYS[:-1]
FLOATS = ("sample_width", "tau", "wavelength", "w0", "M2")
COUNTS = ("t_slices", "z_slices", "num_x_pts", "num_datasets", "n_starts")
DOCUMENTED = {"TypeError", "ValueError", "IndexError", "OverflowError", "MemoryError"}
# A read-only or non-contiguous exporter other than NumPy refuses the buffer itself.
EXPORTER = {"BufferError"}
INT32_MAX = 2**31 - 1
SEED = int(os.environ.get("KELP_FUZZ_SEED", "8081"))


# ---------------------------------------------------------------------------------------------
# Cases


class Call:
    """One call: its arguments and how they are passed."""

    def __init__(self, args, base):
        self.args = args          # parameter name -> value; is_sa and n_starts may be absent
        self.base = base          # the valid arguments it was made from
        self.positional = 0       # the first this many parameters go by position
        self.extra_positional = []
        self.extra_keywords = {}
        self.dropped = set()      # parameters left out altogether

    def split(self):
        names = [n for n in PARAMETERS if n in self.args and n not in self.dropped]
        pos = [self.args[n] for n in names[:self.positional]] + list(self.extra_positional)
        kw = {n: self.args[n] for n in names[self.positional:]}
        kw.update(self.extra_keywords)
        return pos, kw


def valid_case(rng):
    """A cheap valid call: 5-7 positions in 1-2 scans, 2-3 time and depth points, 1-2 starts."""
    n_x = int(rng.integers(5, 8))
    n_d = int(rng.integers(1, 3))
    x = np.tile(np.linspace(-10.0, 10.0, n_x), n_d)
    y = 1 - 0.03 * np.exp(-(x / 4) ** 2) - 0.002 * rng.random(x.size)
    pars = list(TRUE_PARS)
    if rng.random() < 0.75:
        # tau5 infinite: no molecule reaches the level k3 excites from, the model does not
        # depend on k3, and the fit stops after its first Jacobian.
        pars[4] = math.inf
        indices = [2] * int(rng.integers(1, 3))
    else:
        pars[1] *= float(rng.choice([0.5, 2.0]))
        indices = [1]
    args = dict(
        x_data=x, y_data=y, populations=np.array(POPULATIONS),
        t_slices=int(rng.integers(2, 4)), z_slices=int(rng.integers(2, 4)),
        sample_width=1e-3, tau=1e-10, wavelength=532e-9, w0=20e-6, M2=1.0,
        pulse_energy=np.array([1e-6, 2e-6][:n_d]) * (1 + rng.random()),
        spec_pars=np.array(pars), fit_indices=np.array(indices, dtype=np.int32),
        num_x_pts=n_x, num_datasets=n_d, is_sa=bool(rng.random() < 0.3), n_starts=int(rng.integers(1, 3)))
    if rng.random() < 0.1:
        del args["n_starts"]  # the default, 3 starts
        if rng.random() < 0.5:
            del args["is_sa"]
    call = Call(args, dict(args))
    call.positional = int(rng.integers(0, len(args) + 1))
    return call


def pick(rng, seq):
    return seq[int(rng.integers(len(seq)))]


def float_values(call, name):
    """The valid values of a float array argument (a fresh copy)."""
    return np.array(call.base[name], dtype=np.float64)


# Each mutation changes the call and returns the outcomes it allows on its own: "ok" or the
# names of the exceptions.


def m_valid_variants(rng, call):
    """Other valid forms: other exporters, int-like and float-like scalars, other truth values."""
    kind = int(rng.integers(5))
    if kind == 0:
        name = pick(rng, ARRAYS)
        code = "i" if name == "fit_indices" else "d"
        call.args[name] = array.array(code, np.asarray(call.base[name]).tolist())
    elif kind == 1:
        name = pick(rng, ARRAYS)
        call.args[name] = memoryview(np.array(call.base[name]))
    elif kind == 2:
        name = pick(rng, ("t_slices", "z_slices"))
        call.args[name] = pick(rng, [call.base[name] + 0.9, np.int32(call.base[name]), np.int64(call.base[name])])
    elif kind == 3:
        name = pick(rng, FLOATS)
        call.args[name] = pick(rng, [np.float32(call.base[name]), np.float64(call.base[name])])
        if name == "M2":
            call.args[name] = 1
    else:
        call.args["is_sa"] = pick(rng, [0, 1, "", "yes", [], [0], None, np.float64(math.nan)])
    return {"ok"}


def m_binding(rng, call):
    args = call.args
    kind = int(rng.integers(5))
    if kind == 0:  # too many positional arguments
        args.setdefault("is_sa", False)
        args.setdefault("n_starts", 1)
        call.positional = len(PARAMETERS)
        call.extra_positional = [0] * int(rng.integers(1, 4))
    elif kind == 1:  # too few, and no keywords
        call.positional = int(rng.integers(0, REQUIRED))
        call.dropped = set(PARAMETERS[call.positional:])
    elif kind == 2:  # a required parameter missing from the keywords
        call.positional = min(call.positional, REQUIRED - 1)
        call.dropped = {PARAMETERS[int(rng.integers(call.positional, REQUIRED))]}
    elif kind == 3:  # a keyword that names no parameter
        call.extra_keywords[pick(rng, ["x", "xdata", "X_data", "nstarts", "fit_index", "spec"])] = 1
    else:  # one parameter both by position and by keyword
        call.positional = max(call.positional, 1)
        name = PARAMETERS[int(rng.integers(0, min(call.positional, len(PARAMETERS))))]
        call.extra_keywords[name] = call.base.get(name, 1)
    return {"TypeError"}


def m_none(rng, call):
    call.args[pick(rng, ARRAYS)] = None
    return {"TypeError"}


def m_wrong_type(rng, call):
    name = pick(rng, PARAMETERS)
    if name in ARRAYS:
        values = np.asarray(call.base[name])
        options = [
            (lambda: values.tolist(), {"TypeError"}),
            (lambda: tuple(values.tolist()), {"TypeError"}),
            (lambda: "1.0", {"TypeError"}),
            (lambda: 3, {"TypeError"}),
            (lambda: 2.5, {"TypeError"}),
            (lambda: {}, {"TypeError"}),
            (lambda: object(), {"TypeError"}),
            (lambda: range(values.size), {"TypeError"}),
            (lambda: bytearray(values.tobytes()), {"ValueError"}),  # bytes as unsigned chars
            (lambda: values.tobytes(), EXPORTER),  # read-only
            (lambda: values.dtype.type(values.flat[0]), EXPORTER),  # a NumPy scalar: read-only
            (lambda: memoryview(values.tobytes()).cast(values.dtype.char), EXPORTER),
        ]
    elif name == "is_sa":
        options = [(lambda: np.ones(3), {"ValueError"})]
    else:
        options = [
            (lambda: "3", {"TypeError"}),
            (lambda: b"3", {"TypeError"}),
            (lambda: [3], {"TypeError"}),
            (lambda: (3,), {"TypeError"}),
            (lambda: None, {"TypeError"}),
            (lambda: object(), {"TypeError"}),
            (lambda: complex(1, 1), {"TypeError"}),
            (lambda: np.ones(2), {"TypeError"}),
        ]
    make, allowed = pick(rng, options)
    call.args[name] = make()
    return allowed


def m_dtype(rng, call):
    name = pick(rng, ARRAYS)
    values = np.asarray(call.base[name])
    wrong = [np.int64, np.float32, object, np.complex128, np.bool_, np.uint8, np.float16, np.longdouble, ">f8",
             np.int16, np.uint32, [("a", "f8")], "U3"]
    wrong += [np.float64, ">i4"] if name == "fit_indices" else [np.int32]
    dtype = pick(rng, wrong)
    try:
        with np.errstate(invalid="ignore"):
            call.args[name] = values.astype(dtype)
    except (TypeError, ValueError):
        call.args[name] = np.zeros(values.shape, dtype=dtype)
    return {"ValueError"}


def m_ndim(rng, call):
    name = pick(rng, ARRAYS)
    values = np.array(call.base[name])
    kind = int(rng.integers(4))
    if kind == 0:
        call.args[name] = np.array(values.flat[0])
    elif kind == 1:
        call.args[name] = values.reshape(1, -1)
    elif kind == 2:
        call.args[name] = values.reshape(-1, 1)
    else:
        call.args[name] = values.reshape(1, 1, -1)
    return {"ValueError"}


def m_layout(rng, call):
    name = pick(rng, ARRAYS)
    values = np.array(call.base[name])
    n = values.size
    kind = int(rng.integers(5))
    if kind == 0:  # every second element of a longer array
        wide = np.zeros(2 * n, dtype=values.dtype)
        wide[::2] = values
        call.args[name] = wide[::2]
        return {"ok"} if n <= 1 else {"ValueError"}  # one element is contiguous
    if kind == 1:  # reversed
        call.args[name] = values[::-1].copy()[::-1]
        return {"ok"} if n <= 1 else {"ValueError"}
    if kind == 2:
        values.flags.writeable = False
        call.args[name] = values
        return {"ValueError"}
    if kind == 3:  # elements off their natural alignment
        raw = bytearray(values.nbytes + 1)
        shifted = np.frombuffer(raw, dtype=values.dtype, offset=1, count=n)
        shifted[:] = values
        call.args[name] = shifted
        return {"ValueError"}
    wide = np.zeros(2 * n, dtype=values.dtype)
    call.args[name] = memoryview(wide)[::2]
    return {"ok"} if n <= 1 else EXPORTER


def m_length(rng, call):
    name = pick(rng, ARRAYS)
    values = np.asarray(call.base[name])
    n = values.size
    length = int(pick(rng, [0, 1, n - 1, n + 1, 2 * n, 1000]))
    if name == "fit_indices":
        new = rng.integers(0, 8, size=length).astype(np.int32)
    else:
        new = np.resize(values, length) if n else np.zeros(length)
    call.args[name] = np.ascontiguousarray(new)
    if length == n:
        return {"ok"}
    if name == "fit_indices":
        return {"IndexError"} if length == 0 else {"ok"}
    if name == "pulse_energy" and length > n:
        return {"ok"}
    return {"ValueError", "IndexError"}


SAFE_COUNTS = [-1, 0, 1, 2, -7, -2**31, 2**31, -2**31 - 1, 2**32, 2**63, 2**64 + 7, 10**30, -10**30, 2.9, 1.5,
               -0.5, math.nan, math.inf, -math.inf, True, False]


def count_outcomes(name, value, call):
    """What a count of this value gives when it is the only change."""
    if isinstance(value, float):
        if math.isnan(value):
            return {"ValueError"}
        if math.isinf(value):
            return {"OverflowError"}
    v = int(value)
    if not -2**31 <= v <= INT32_MAX:
        return {"OverflowError"}
    if name == "n_starts":
        return {"IndexError"} if v == 0 else {"ValueError"} if v < 0 else {"ok"}
    if name in ("t_slices", "z_slices"):
        return {"ok"} if v >= 2 else {"ValueError"}
    return {"ok"} if v == call.base[name] else {"ValueError"}


def m_count(rng, call):
    name = pick(rng, COUNTS)
    base = call.base.get(name, 3)
    values = SAFE_COUNTS + [base - 1, base + 1, np.int64(2**40), np.int32(-3), np.int64(base)]
    if name in ("num_x_pts", "num_datasets"):
        values += [INT32_MAX, 2**16, 10**6]  # sizes no array here has: refused by the size checks
    value = pick(rng, values)
    if name in ("t_slices", "z_slices", "n_starts") and not isinstance(value, float) and int(value) > 5 and \
            int(value) <= INT32_MAX:
        value = 3  # a valid count that would make the call long: only in m_huge_count
    call.args[name] = value
    return count_outcomes(name, value, call)


def m_nonfinite(rng, call):
    special = [math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -0.0, 1e-300, -1.0]
    if rng.random() < 0.4:
        name = pick(rng, FLOATS)
        call.args[name] = float(pick(rng, special))
    else:
        name = pick(rng, FLOAT_ARRAYS)
        values = float_values(call, name)
        where = rng.random(values.size) < rng.random()
        if not where.any():
            where[int(rng.integers(values.size))] = True
        values[where] = rng.choice(special[:4], size=int(where.sum()))
        call.args[name] = values
    return {"ok"}


def m_zero_physics(rng, call):
    name = pick(rng, FLOATS)
    call.args[name] = float(pick(rng, [0.0, -0.0, -1e-9, 1e-320]))
    return {"ok"}


def m_fit_index(rng, call):
    kind = int(rng.integers(3))
    if kind == 0:  # the same index more than once
        k = int(call.base["fit_indices"][0])
        call.args["fit_indices"] = np.array([k] * int(rng.integers(2, 5)), dtype=np.int32)
        return {"ok"}
    bad = int(pick(rng, [-1, 8, 9, 100, -100, INT32_MAX, -2**31]))
    indices = list(rng.integers(0, 8, size=int(rng.integers(0, 4))))
    indices.insert(int(rng.integers(len(indices) + 1)), bad)
    if kind == 2:
        indices.append(pick(rng, [-1, 8]))  # a second bad one: only the first is reported
    call.args["fit_indices"] = np.array(indices, dtype=np.int32)
    return {"ValueError"}


# Terminal mutations: applied last, so that nothing after them undoes what makes them safe.

def stop_before_start(rng, call):
    """An error raised before the start vectors are tiled: None or an index out of range."""
    if rng.random() < 0.5:
        call.args[pick(rng, ARRAYS)] = None
        return {"TypeError"}
    call.args["fit_indices"] = np.array([1, pick(rng, [8, -1, 99])], dtype=np.int32)
    return {"ValueError"}


def m_huge_count(rng, call):
    """Counts up to the 32-bit limit that a valid call could not afford, each with an error
    that stops the call before they are used."""
    name = pick(rng, ("t_slices", "z_slices", "n_starts"))
    call.args[name] = pick(rng, [INT32_MAX, INT32_MAX - 1, 2**30, 10**6, 65536])
    if name != "n_starts" and rng.random() < 0.6:
        # Stopped by the size checks, after the start vectors and before the first fit.
        call.args["populations"] = np.array(POPULATIONS[:4])
        return {"ValueError"}
    return stop_before_start(rng, call)


def m_memory(rng, call):
    """Sizes whose allocation fails on any machine: more than the 128 TiB of address space."""
    if rng.random() < 0.5:
        # The irradiance table: num_x_pts * num_datasets * t_slices doubles, 2**48 bytes or more.
        n_d = int(pick(rng, [1, 2, 4]))
        points = 2**20
        x = np.tile(np.linspace(-10.0, 10.0, points // n_d), n_d)
        call.args.update(x_data=x, y_data=1 - 0.01 * np.exp(-x * x), num_x_pts=points // n_d, num_datasets=n_d,
                         pulse_energy=np.full(n_d, 1e-6), t_slices=int(rng.integers(2**25, 2**27)))
    else:
        # The start matrix: n_starts rows of a 16384-value spec_pars, 2**48 bytes.
        call.args.update(spec_pars=np.ones(2**14), n_starts=INT32_MAX - int(rng.integers(2)))
    return {"MemoryError"}


MUTATIONS = {
    "binding": m_binding, "none": m_none, "wrong_type": m_wrong_type, "dtype": m_dtype, "ndim": m_ndim,
    "layout": m_layout, "length": m_length, "count": m_count, "nonfinite": m_nonfinite,
    "zero_physics": m_zero_physics, "fit_index": m_fit_index,
}
TERMINAL = {"huge_count": m_huge_count, "memory": m_memory}
CLASSES = ["valid", *MUTATIONS, *TERMINAL, "mixed"]
WEIGHTS = {"valid": 10, "binding": 5, "none": 5, "wrong_type": 8, "dtype": 7, "ndim": 5, "layout": 7, "length": 8,
           "count": 10, "nonfinite": 9, "zero_physics": 4, "fit_index": 5, "huge_count": 4, "memory": 1, "mixed": 12}


def make_call(seed, number):
    """Call `number` of the run with this seed: its class, the call and the outcomes it allows."""
    rng = np.random.default_rng([seed, number])
    weights = np.array([WEIGHTS[c] for c in CLASSES], dtype=float)
    kind = CLASSES[int(rng.choice(len(CLASSES), p=weights / weights.sum()))]
    call = valid_case(rng)
    if kind == "valid":
        allowed = m_valid_variants(rng, call) if rng.random() < 0.5 else {"ok"}
    elif kind in MUTATIONS:
        allowed = MUTATIONS[kind](rng, call)
    elif kind in TERMINAL:
        allowed = TERMINAL[kind](rng, call)
    else:
        allowed = set(DOCUMENTED) | {"ok"}
        names = list(MUTATIONS)
        for _ in range(int(rng.integers(2, 5))):
            if MUTATIONS[pick(rng, names)](rng, call) == EXPORTER:
                allowed |= EXPORTER
        if rng.random() < 0.15:
            TERMINAL[pick(rng, list(TERMINAL))](rng, call)
    return kind, call, allowed


def describe(value):
    if isinstance(value, np.ndarray):
        flags = "".join(f for f, on in (("C", value.flags.c_contiguous), ("W", value.flags.writeable),
                                        ("A", value.flags.aligned)) if on)
        head = np.array2string(value.ravel()[:4], precision=3, separator=",")
        return f"ndarray({value.dtype.str}, shape={value.shape}, flags={flags}, head={head})"
    if isinstance(value, memoryview):
        return f"memoryview(format={value.format!r}, shape={value.shape}, readonly={value.readonly})"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def describe_call(call):
    pos, kw = call.split()
    parts = [describe(v) for v in pos] + [f"{k}={describe(v)}" for k, v in kw.items()]
    return "fit_zscan(" + ", ".join(parts) + ")"


# ---------------------------------------------------------------------------------------------
# Running and checking calls (in the child)


def snapshot(value):
    """The bytes of an argument and of whatever array it views, or None for other objects."""
    if isinstance(value, np.ndarray):
        base = value.base
        while isinstance(base, np.ndarray) and base.base is not None:
            base = base.base
        own = value.tobytes(order="A")
        try:
            under = bytes(memoryview(base)) if base is not None else b""
        except (TypeError, BufferError, ValueError):
            under = b""
        return own, under
    if isinstance(value, (array.array, bytearray, bytes)):
        return bytes(value), b""
    if isinstance(value, memoryview):
        return value.tobytes(), bytes(value.obj) if value.obj is not None else b""
    return None


def tracked(call):
    """The argument objects whose contents and reference counts a call must not change."""
    pos, kw = call.split()
    values = list(pos) + list(kw.values())
    return [v for v in values if isinstance(v, (np.ndarray, array.array, bytearray, bytes, memoryview))]


def same_bits(a, b):
    return (a[0].tobytes() == b[0].tobytes() and a[2].tobytes() == b[2].tobytes() and
            (a[1] == b[1] or (math.isnan(a[1]) and math.isnan(b[1]))))


def result_faults(kind, call, result):
    """What is wrong with a returned result (empty when it is well-formed)."""
    if not (isinstance(result, tuple) and len(result) == 3):
        return [f"result is {type(result).__name__}, not a tuple of three"]
    residuals, error, fitted = result
    faults = []
    y = np.asarray(call.args["y_data"])
    spec = np.asarray(call.args["spec_pars"])
    indices = np.asarray(call.args["fit_indices"])
    for label, arr, size in (("residuals", residuals, y.size), ("spec_pars", fitted, spec.size)):
        if not (isinstance(arr, np.ndarray) and arr.dtype == np.float64 and arr.shape == (size,)):
            faults.append(f"{label} is {describe(arr)}, expected float64 of {size}")
    if type(error) is not float or error < 0:
        faults.append(f"error is {error!r}")
    if faults:
        return faults
    untouched = np.setdiff1d(np.arange(spec.size), indices)
    if fitted[untouched].tobytes() != spec[untouched].tobytes():
        faults.append("a parameter that is not fitted changed")
    for v in tracked(call):
        if isinstance(v, np.ndarray) and (np.shares_memory(residuals, v) or np.shares_memory(fitted, v)):
            faults.append("a result shares memory with an argument")
    if kind == "valid" and not (math.isfinite(error) and np.isfinite(residuals).all()):
        faults.append(f"a valid call gave a non-finite error or residual: error={error!r}")
    return faults


def run_calls(fit_zscan, seed, numbers, progress=None, per_call_timeout=120.0, replay=False):
    """Runs the calls and returns (outcome counts per class, seconds per class, faults)."""
    counts = collections.defaultdict(collections.Counter)
    seconds = collections.Counter()
    faults = []
    reference = valid_case(np.random.default_rng([seed, 2**40]))  # no call number reaches it
    expected = fit_zscan(*reference.split()[0], **reference.split()[1])
    for i, number in enumerate(numbers):
        kind, call, allowed = make_call(seed, number)
        if progress is not None:
            progress.seek(0)
            progress.write(f"{number}\t{kind}\t{describe_call(call)}\n")
            progress.truncate()
            progress.flush()
        if replay:
            print(f"call {number} ({kind}), allowed {sorted(allowed)}:\n  {describe_call(call)}")
        pos, kw = call.split()
        objects = tracked(call)
        before = [snapshot(v) for v in objects]
        refs = [sys.getrefcount(v) for v in objects]
        faulthandler.dump_traceback_later(per_call_timeout, exit=True)
        started = time.perf_counter()
        result = None
        try:
            result = fit_zscan(*pos, **kw)
            outcome, message = "ok", ""
        except Exception as e:  # noqa: BLE001 -- every kind is counted and judged below
            outcome, message = type(e).__name__, str(e)
        finally:
            faulthandler.cancel_dump_traceback_later()
        seconds[kind] += time.perf_counter() - started
        counts[kind][outcome] += 1
        if replay:
            print(f"  -> {outcome}: {message}" if message else f"  -> {outcome}")

        problems = []
        if outcome not in allowed:
            problems.append(f"{outcome} ({message}) where {sorted(allowed)} was allowed")
        if outcome == "MemoryError" and kind in ("memory", "mixed") and not message:
            problems.append("MemoryError without a message")
        if result is not None:
            problems += result_faults(kind, call, result)
            if not problems and (kind == "valid" or number % 4 == 0):
                again = fit_zscan(*pos, **kw)
                if not same_bits(result, again):
                    problems.append("the same call gave different bits the second time")
                del again
        del result
        if [snapshot(v) for v in objects] != before:
            problems.append("an argument's contents changed")
        if [sys.getrefcount(v) for v in objects] != refs:
            problems.append("an argument's reference count changed")
        if sys.exc_info()[0] is not None:
            problems.append("an exception is still being handled")
        if problems:
            faults.append({"number": number, "kind": kind, "call": describe_call(call), "problems": problems})
        if i % 500 == 499:
            got = fit_zscan(*reference.split()[0], **reference.split()[1])
            if not same_bits(got, expected):
                faults.append({"number": number, "kind": "reference", "call": describe_call(reference),
                               "problems": ["the reference call no longer gives its first result"]})
    got = fit_zscan(*reference.split()[0], **reference.split()[1])
    if not same_bits(got, expected):
        faults.append({"number": -1, "kind": "reference", "call": describe_call(reference),
                       "problems": ["after the last call the reference call no longer gives its first result"]})
    return counts, seconds, faults


def child_main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=int(os.environ.get("KELP_FUZZ_CALLS", "10000")))
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--replay", type=int, help="run only this call, verbosely")
    parser.add_argument("--out", type=pathlib.Path, help="directory for progress and results")
    a = parser.parse_args(argv)
    from kelp_wrapper import fit_zscan

    faulthandler.enable()
    if a.replay is not None:
        counts, _, faults = run_calls(fit_zscan, a.seed, [a.replay], replay=True)
        print(json.dumps(faults, indent=2))
        return 1 if faults else 0
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # A safety net, not part of what is tested: should a generated size slip through
        # that makes a call allocate for real, it fails here instead of exhausting the
        # machine (and the test then reports a MemoryError where none was allowed).
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (8 << 30), resource.RLIM_INFINITY))
    started = time.perf_counter()
    with open(a.out / "progress", "w") as progress:
        counts, seconds, faults = run_calls(fit_zscan, a.seed, range(a.calls), progress)
    report = {"counts": {k: dict(v) for k, v in counts.items()}, "seconds": dict(seconds), "faults": faults,
              "elapsed": time.perf_counter() - started}
    (a.out / "results.json").write_text(json.dumps(report))
    return 0


# ---------------------------------------------------------------------------------------------
# The test (in the test session)


def table(report):
    outcomes = ["ok", "TypeError", "ValueError", "IndexError", "OverflowError", "MemoryError", "BufferError"]
    others = sorted({o for c in report["counts"].values() for o in c} - set(outcomes))
    columns = outcomes + others
    lines = [f"{'class':<13}{'calls':>7}" + "".join(f"{c:>14}" for c in columns) + f"{'ms/call':>9}"]
    total = collections.Counter()
    for kind in CLASSES:
        c = report["counts"].get(kind, {})
        n = sum(c.values())
        if not n:
            continue
        total.update(c)
        ms = 1000 * report["seconds"].get(kind, 0) / n
        lines.append(f"{kind:<13}{n:>7}" + "".join(f"{c.get(o, 0):>14}" for o in columns) + f"{ms:>9.2f}")
    lines.append(f"{'all':<13}{sum(total.values()):>7}" + "".join(f"{total.get(o, 0):>14}" for o in columns))
    return "\n".join(lines)


@pytest.mark.slow
def test_fuzzed_calls_return_well_formed_results_or_documented_errors(tmp_path, capsys):
    calls = int(os.environ.get("KELP_FUZZ_CALLS", "10000"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    if "libasan" in env.get("LD_PRELOAD", ""):
        # Under ASan the net is a cap on single allocations (address-space limits and ASan's
        # shadow memory do not mix).
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=8192"
    started = time.perf_counter()
    # DLSODA reports its failures on standard output: thousands of lines for non-finite input.
    proc = subprocess.run([sys.executable, __file__, "--calls", str(calls), "--seed", str(SEED), "--out",
                           str(tmp_path)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env,
                          timeout=600 + 0.5 * calls)
    elapsed = time.perf_counter() - started
    results = tmp_path / "results.json"
    if proc.returncode != 0 or not results.exists():
        last = (tmp_path / "progress").read_text() if (tmp_path / "progress").exists() else "(none)"
        number = last.split("\t")[0]
        raise AssertionError(
            f"the child interpreter ended with status {proc.returncode} during call {last.strip()}\n"
            f"replay it with: {sys.executable} {__file__} --seed {SEED} --replay {number}\n"
            f"standard error (end):\n{proc.stderr[-4000:]}")
    report = json.loads(results.read_text())
    with capsys.disabled():
        print(f"\nfit_zscan fuzz: {calls} calls (seed {SEED}) in {elapsed:.1f} s\n{table(report)}")
    faults = report["faults"]
    assert not faults, f"{len(faults)} faulty calls, the first ones:\n" + "\n".join(
        f"#{f['number']} {f['kind']}: {'; '.join(f['problems'])}\n    {f['call']}" for f in faults[:10])
    assert sum(sum(c.values()) for c in report["counts"].values()) == calls


# ---------------------------------------------------------------------------------------------
# Cases the fuzzing found, kept as plain tests


def misaligned(values):
    """A writable, contiguous copy of values one byte off the alignment of its elements."""
    raw = bytearray(values.nbytes + 1)
    shifted = np.frombuffer(raw, dtype=values.dtype, offset=1, count=values.size)
    shifted[:] = values
    return shifted


def test_misaligned_arrays_are_refused_before_anything_reads_them():
    from conftest import frozen_case
    from kelp_wrapper import fit_zscan

    case = frozen_case()
    for name, size in (("x_data", 8), ("spec_pars", 8), ("fit_indices", 4)):
        bad = misaligned(case[name])
        before = bad.tobytes()
        with pytest.raises(ValueError) as e:
            fit_zscan(**{**case, name: bad})
        assert str(e.value) == f"Buffer not aligned to its {size}-byte elements."
        assert bad.tobytes() == before
    # An empty array has no element to misread: it meets the index check as before.
    with pytest.raises(IndexError):
        fit_zscan(**{**case, "populations": misaligned(np.zeros(0))})


if __name__ == "__main__":
    sys.exit(child_main(sys.argv[1:]))

"""What the tests of both folders share: wrapper/ (the kelp_wrapper module) and kelp/ (the
library and the kelp command).  Small cases, the one place that decides whether something
missing skips or fails a test, and measurements simulated by the kelp command.

Grids are tiny (11-15 positions x 5 time points x 3 slices, 100 ps pulses), so one model
evaluation takes a few milliseconds and a fit a fraction of a second.
"""
import functools
import importlib
import io
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

# This folder: child interpreters put it on their path to import these helpers.
TESTS = pathlib.Path(__file__).resolve().parent
REPO = TESTS.parents[1]
BUILD = pathlib.Path(os.environ.get("KELP_BUILD", REPO / "build"))

# k1, k2, k3 (cm^2), tau4 .. tau8 (s): the forward-model tool's reverse saturable absorber.
TRUE_PARS = (1e-18, 1e-17, 1e-17, 1e-9, 1e-8, 1e-13, 1e-6, 1e-13)
PAR_NAMES = ("k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8")
BEAM = dict(t_slices=5, z_slices=3, sample_width=1e-3, tau=1e-10, wavelength=532e-9, w0=20e-6, M2=1.0)
POPULATIONS = (1e20, 0.0, 0.0, 0.0, 0.0)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test of many seconds (fuzzing, soaks, a Dask cluster, Monte Carlo); "
                                       "scripts/test --fast leaves these out")


def private_copies_mapped():
    """Integrator copies this process has loaded (their code mappings, named after their file)."""
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if "kelp-dlsoda" in line and " r-xp " in line)


def missing(what):
    """Something a test needs is not there: a skip on a developer's machine, a failure under CI
    (CI set), where a broken build must not pass as a row of skips.  Every test decides so here."""
    if os.environ.get("CI"):
        pytest.fail(f"{what}; under CI nothing a test needs may be missing", pytrace=False)
    pytest.skip(what, allow_module_level=True)


def require_module(*names):
    """The named modules imported (the module itself for one name), or missing() for the first
    that cannot be imported (build the project's modules with scripts/build)."""
    modules = []
    for name in names:
        try:
            modules.append(importlib.import_module(name))
        except ImportError as e:
            missing(f"{name} is not importable ({e})")
    return modules[0] if len(modules) == 1 else tuple(modules)


def fit_arguments(x, y, spec_pars, fit_indices, num_x_pts, num_datasets, energies=(1e-6, 2e-6)):
    """fit_zscan's seventeen arguments, in order, by name."""
    args = dict(
        x_data=np.ascontiguousarray(x, dtype=np.float64),
        y_data=np.ascontiguousarray(y, dtype=np.float64),
        populations=np.array(POPULATIONS),
        **{k: BEAM[k] for k in ("t_slices", "z_slices", "sample_width", "tau", "wavelength", "w0", "M2")},
        pulse_energy=np.array(energies, dtype=np.float64),
        spec_pars=np.array(spec_pars, dtype=np.float64),
        fit_indices=np.array(fit_indices, dtype=np.int32),
        num_x_pts=num_x_pts,
        num_datasets=num_datasets,
        is_sa=False,
        n_starts=1,
    )
    return args


def frozen_case(**changes):
    """A case whose one fitted parameter (k3) cannot move.

    With tau5 infinite no molecule reaches level 4, from which k3 excites, so the model does
    not depend on k3 at all (bit for bit): lmdif1 finds a zero gradient and stops, every start
    keeps its start value, and every start ends with the same error.  Two scans of 11
    positions from -10 to 10 mm; the measured curves are made up, with distinct values.
    """
    x = np.linspace(-10.0, 10.0, 11)
    dip = np.exp(-(x / 4) ** 2)
    y = np.concatenate([1 - 0.03 * dip, 1 - 0.05 * dip + 0.001 * np.arange(11)])
    pars = list(TRUE_PARS)
    pars[4] = np.inf
    args = fit_arguments(np.tile(x, 2), y, pars, [2], 11, 2)
    args.update(changes)
    return args


def model_curves(spec_pars=TRUE_PARS, energies=(1e-6, 2e-6), points=15, x_min=-14, x_max=14, **settings):
    """Positions (mm) and model transmittances (one column per energy) from kelp_curve."""
    tool = BUILD / "kelp_curve"
    if not tool.exists():
        missing(f"{tool} is not built")
    beam = {k: BEAM[k] for k in ("t_slices", "z_slices", "sample_width", "tau", "wavelength", "w0", "M2")}
    beam.update(settings)
    args = [f"{n}={float(v)!r}" for n, v in zip(PAR_NAMES, spec_pars)]
    args += [f"{k}={v!r}" for k, v in beam.items()]
    args += [f"energies={','.join(repr(float(e)) for e in energies)}", f"points={points}",
             f"x_min={x_min}", f"x_max={x_max}"]
    out = subprocess.run([str(tool), *args], check=True, capture_output=True, text=True).stdout
    table = np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1, ndmin=2)
    return table[:, 0], table[:, 1:]


def run_python(code, env_update=None, **kwargs):
    """Runs code in a fresh interpreter with this one's module search path (and env_update)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **(env_update or {}))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120,
                          **kwargs)


# Settings file of the kelp command tests: the same tiny grids, two scans, k2 fitted from 2e-17.
CLI_SETTINGS = """\
pulse_energies = [0.5e-6, 1.0e-6]
wavelength = 532e-9
w0 = 20e-6
M2 = 1.0
tau = 100e-12
sample_width = 1e-3
t_slices = 5
z_slices = 3
populations = [1e20, 0, 0, 0, 0]
is_sa = false
n_starts = 3
fit = ["k2"]

[parameters]
k1 = 1e-18
k2 = 2e-17
k3 = 1e-17
tau4 = 1e-9
tau5 = 1e-8
tau6 = 1e-13
tau7 = 1e-6
tau8 = 1e-13
"""


def simulate_files(directory, settings=CLI_SETTINGS, overrides=(), noise=None, seed=None, points=15, x_min=None,
                   x_max=None, data="rsa.csv"):
    """A settings file rsa.toml in directory and a measurement that `kelp simulate` makes from it
    (--set each of overrides, "name=value"; --noise, --seed, --x-min, --x-max only when given).
    Returns their paths."""
    from kelp.cli import main as cli
    settings_path, data_path = directory / "rsa.toml", directory / data
    settings_path.write_text(settings)
    argv = ["simulate", "-s", str(settings_path), *(a for o in overrides for a in ("--set", o)), "-o", str(data_path),
            "--points", str(points)]
    for option, value in (("--x-min", x_min), ("--x-max", x_max), ("--noise", noise), ("--seed", seed)):
        if value is not None:
            argv += [option, str(value)]
    assert cli.main(argv) == 0
    return settings_path, data_path


@pytest.fixture
def simulated(tmp_path):
    """simulate_files in the test's own temporary directory: simulated(overrides=["k2=1e-17"], ...)."""
    return functools.partial(simulate_files, tmp_path)

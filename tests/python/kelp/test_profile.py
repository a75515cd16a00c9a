"""Profile-likelihood intervals: exact on a linear model, open where the data stop constraining,
the same bits on any number of threads, their coverage of the truth, and the command's output."""
import json
import math

import numpy as np
import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

from kelp.api import measurement_from_arrays  # noqa: E402
from kelp.cli import main as cli  # noqa: E402
from kelp.fit import refine, uncertainty  # noqa: E402
from kelp.fit.assess import profile_of  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.fit.objective import Objective  # noqa: E402
from kelp.fit.profile import LEVELS, profile  # noqa: E402


def _profiled(residuals, start, positive, threads=None):
    """Refine a synthetic problem and profile it: (refinement, Profile)."""
    p = refine.Problem(names=tuple(f"p{i}" for i in range(len(start))), start=np.array(start, dtype=float),
                       residuals=residuals, positive=positive)
    r = refine.refine(p, threads=1)
    at = refine.Problem(names=p.names, start=r.values, residuals=residuals, positive=positive)
    cov, _ = uncertainty.covariance_u(r.jacobian, r.residuals)
    return r, profile(at, r.residuals, cov, threads=threads)


def test_a_linear_model_gives_the_standard_errors_intervals_and_a_flat_one_stays_open():
    rng = np.random.default_rng(3)
    A = np.column_stack([np.ones(40), np.linspace(-1, 1, 40)])
    y = A @ [2.0, 0.5] + rng.normal(0, 0.1, 40)
    r, p = _profiled(lambda v: y - A @ v, [1.0, 1.0], (False, False))
    cov, _ = uncertainty.covariance_u(r.jacobian, r.residuals)
    for k, interval in enumerate(p.intervals):
        se = math.sqrt(cov[k, k])
        for level, height in LEVELS:
            lower, upper = interval.bounds[level]
            assert upper - interval.value == pytest.approx(se * math.sqrt(height), rel=0.01)
            assert interval.value - lower == pytest.approx(se * math.sqrt(height), rel=0.01)
        assert interval.warnings() == [] and interval.asymmetry() < 0.01
    # The others were re-optimised: the profile of a correlated pair is wider than a cut through it.
    assert abs(cov[0, 1]) > 0 and p.evaluations > 20
    # A second quantity whose effect saturates: beyond some value the data cannot tell it apart.
    x = np.linspace(0, 1, 30)
    shape = 0.05 * np.sin(7 * x)
    y = np.tanh(1.5) * shape + rng.normal(0, 0.01, 30)
    _, p = _profiled(lambda v: y - np.tanh(v[0]) * shape, [1.0], (False,))
    (interval,) = p.intervals
    assert math.isinf(interval.bounds["95"][1]) and "open above" in interval.warnings()[0]
    assert math.isfinite(interval.bounds["95"][0]) and p.document()["parameters"]["p0"]["open"] == ["above"]


def test_profiles_on_the_model_are_the_same_bits_on_any_thread_budget_and_flag_asymmetry():
    s = cases.settings(["k1", "k2"], start_factor=1.0)
    objective = Objective.of(cases.measurement(s, noise=2e-3), s)
    r = refine.refine(objective.problem([s.parameters[n] for n in s.fit]), threads=1)
    one, two = profile_of(objective, r, threads=1), profile_of(objective, r, threads=2)
    assert one.threads == 1 and two.threads == 2
    assert [i.bounds for i in one.intervals] == [i.bounds for i in two.intervals]
    assert [i.points for i in one.intervals] == [i.points for i in two.intervals]
    k1 = one["k1"]
    lower, upper = k1.bounds["68"]
    assert lower < k1.value < upper and k1.bounds["95"][0] < lower and upper < k1.bounds["95"][1]
    # On a log scale the value's interval leans upwards; k2's beyond the flag's 20 %.
    assert any(w.startswith("k2's 68 % profile interval is asymmetric") for w in one.warnings())


@pytest.mark.slow  # 200 refits and profiles, about 30 s
def test_68_percent_profile_intervals_cover_the_truth_68_percent_of_the_time():
    s = cases.settings(["k2"], start_factor=1.0)
    clean = cases.measurement(s)
    draws, hits68, hits95, se_hits = 200, 0, 0, 0
    for seed in range(draws):
        noisy = clean.transmittance + np.random.default_rng(seed).normal(0.0, 2e-3, clean.transmittance.shape)
        objective = Objective.of(measurement_from_arrays(clean.positions, noisy, s.pulse_energies), s)
        r = refine.refine(objective.problem([1e-17]), threads=1)
        interval = profile_of(objective, r, threads=1)["k2"]
        hits68 += interval.bounds["68"][0] <= 1e-17 <= interval.bounds["68"][1]
        hits95 += interval.bounds["95"][0] <= 1e-17 <= interval.bounds["95"][1]
        se_hits += abs(interval.value - 1e-17) <= interval.standard_error
    assert 63 <= 100 * hits68 / draws <= 73
    assert 63 <= 100 * se_hits / draws <= 73
    assert 90 <= 100 * hits95 / draws <= 98


def test_kelp_fit_reports_profiles_unless_told_not_to(simulated, tmp_path, capsys):
    settings, data = simulated(overrides=["k2=1e-17"], noise=2e-3)
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "with"), "-q"]) == 0
    out = capsys.readouterr().out
    assert "profile intervals (Δχ²/s² = 1 and 3.84;" in out and "  k2         68 % " in out
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "without"), "-q",
                     "--no-profile"]) == 0
    assert "profile intervals" not in capsys.readouterr().out
    with_ = json.loads((tmp_path / "with.json").read_text())
    without = json.loads((tmp_path / "without.json").read_text())
    p = with_.pop("profile")
    assert set(with_) == set(without) and with_["refined"]["parameters"] == without["refined"]["parameters"]
    k2 = p["parameters"]["k2"]
    assert k2["68"][0] < with_["refined"]["parameters"]["k2"] < k2["68"][1] and p["threads"] >= 1
    assert p["levels"] == {"68": 1.0, "95": 3.841458820694124} and p["evaluations"] > 0
    # The figure gains a row of profile panels: a taller picture.
    import matplotlib.image
    assert matplotlib.image.imread(tmp_path / "with.png").shape[0] > matplotlib.image.imread(
        tmp_path / "without.png").shape[0]
    # No refinement, no optimum to profile.
    assert cli.main(["fit", str(data), "-s", str(settings), "-o", str(tmp_path / "raw"), "-q", "--no-refine"]) == 0
    assert "profile" not in json.loads((tmp_path / "raw.json").read_text())


def test_fit_without_profile_by_default_below_the_command():
    s = cases.settings(["k2"])
    assert fit(cases.measurement(s, noise=2e-3), s).refined.profile is None

"""Input uncertainties: the settings that give them, and the systematic uncertainty they carry
into a fitted value against refits with the input moved."""
import dataclasses
import json

import pytest

import refine_cases as cases
from conftest import require_module

require_module("kelp.core._core", "scipy")

from kelp.errors import InputError  # noqa: E402
from kelp.fit.fitting import fit  # noqa: E402
from kelp.io.settings import settings_from_mapping  # noqa: E402
from kelp.report.document import result_document  # noqa: E402
from kelp.report.table import table  # noqa: E402

UNCERTAIN = {"pulse_energies": 0.05, "w0": 0.03, "sample_width": 0.02, "tau": 0.1}


def test_each_inputs_share_equals_refits_with_that_input_moved():
    s = cases.settings(["k2"], uncertainties=UNCERTAIN)
    m = cases.measurement(s, noise=2e-3)
    a = fit(m, s).refined
    shares = a.systematic.contributions
    for key, moved in (("pulse_energies", lambda f: {"pulse_energies": tuple(e * f for e in s.pulse_energies)}),
                       ("w0", lambda f: {"w0": s.w0 * f}), ("sample_width", lambda f: {"sample_width": s.sample_width * f})):
        k2 = [fit(m, dataclasses.replace(s, uncertainties={}, **moved(1 + sign * UNCERTAIN[key]))).refined.parameters["k2"]
              for sign in (1, -1)]
        assert shares[key]["k2"] == pytest.approx(abs(k2[0] - k2[1]) / 2, rel=0.05), key
    total = sum(v["k2"] ** 2 for v in shares.values()) ** 0.5
    assert a.systematic_errors["k2"] == pytest.approx(total, rel=1e-12)
    # Statistical and systematic stay apart, in the table and in the JSON.
    result = fit(m, s)
    assert "systematic, from pulse_energies ± 5 %, w0 ± 3 %, sample_width ± 2 %, tau ± 10 %: k2 ± " in table(result)
    doc = json.loads(json.dumps(result_document(result)))
    assert doc["refined"]["systematic_errors"]["k2"] == a.systematic_errors["k2"]
    assert doc["systematic"]["inputs"] == UNCERTAIN and set(doc["systematic"]["contributions"]) == set(UNCERTAIN)
    assert doc["settings"]["uncertainties"] == UNCERTAIN
    # A fitted input has no systematic share; without uncertainties nothing changes.
    fitted_w0 = fit(m, dataclasses.replace(s, fit_beam=("w0",))).refined
    assert "w0" not in fitted_w0.systematic.contributions
    plain = cases.settings(["k2"])
    assert fit(m, plain).refined.systematic is None and "uncertainties" not in plain.to_dict()


def test_bad_uncertainties_are_refused_naming_the_input(tmp_path):
    base = cases.settings(["k2"]).to_dict()
    for table_, message in (({"energy": 0.1}, "uncertainty of 'energy': expected one of pulse_energies, w0"),
                            ({"tau": 1.5}, "expected a relative standard uncertainty from 0 to below 1"),
                            ({"tau": -0.1}, "from 0 to below 1"), (0.1, "setting 'uncertainties': expected a table")):
        with pytest.raises(InputError, match=message):
            settings_from_mapping({**base, "uncertainties": table_})
    beam = tmp_path / "beam.toml"
    beam.write_text("w0 = 2e-5\nw0_se = 1e-7\n")
    settings = tmp_path / "s.toml"
    del base["w0"], base["M2"]
    lines = [f"{k} = {json.dumps(v)}" for k, v in base.items() if k not in ("parameters",)]
    settings.write_text("\n".join(lines) + '\nbeam = "beam.toml"\n[uncertainties]\nw0 = 0.02\n[parameters]\n' +
                        "\n".join(f"{k} = {v!r}" for k, v in base["parameters"].items()) + "\n")
    from kelp.io.settings import load_settings
    with pytest.raises(InputError, match="uncertainty of 'w0': the beam file .* gives it already"):
        load_settings(settings)

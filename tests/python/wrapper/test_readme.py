"""The README's Python example runs as printed, on the measurement file the project ships, and
prints what its last comment says."""
import re

import pytest

from conftest import REPO, require_module, run_python

require_module("kelp_wrapper")


def test_python_example_runs_on_the_shipped_file():
    readme = (REPO / "README.md").read_text()
    section = readme[readme.index("## From Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert "examples/rsa_scans.csv" in code and (REPO / "examples" / "rsa_scans.csv").exists()
    expected = code.rstrip().splitlines()[-1].split("#", 1)[1].strip()
    run = run_python(code, cwd=REPO)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == expected

"""The package as a user installs it: pip builds a wheel of the checkout into a fresh virtual
environment, where kelp, its compiled core and kelp_wrapper import and fit, and the kelp
command runs."""
import subprocess
import sys

import pytest

from conftest import REPO, missing

pytestmark = pytest.mark.slow


def test_an_installed_wheel_imports_fits_and_runs_the_command(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = venv / "bin" / "python"
    if subprocess.run([str(python), "-c", "import scikit_build_core"], capture_output=True).returncode != 0:
        missing("scikit-build-core is not installed")
    install = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                              str(REPO)], capture_output=True, text=True, cwd=tmp_path, timeout=1200)
    assert install.returncode == 0, install.stderr[-4000:]
    code = ("import kelp, kelp_wrapper\n"
            "from kelp.core import _core\n"
            "assert 'site-packages' in kelp.__file__ and 'site-packages' in _core.__file__\n"
            f"r = kelp.fit_measurement({str(REPO / 'examples' / 'rsa_scans.csv')!r}, "
            f"{str(REPO / 'examples' / 'rsa.toml')!r}, refine=False)\n"
            "print(r.parameters['k2'])\n")
    run = subprocess.run([str(python), "-c", code], capture_output=True, text=True, cwd=tmp_path,
                         env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)})
    assert run.returncode == 0, run.stderr
    assert abs(float(run.stdout) - 1.0067e-17) < 1e-20
    version = subprocess.run([str(venv / "bin" / "kelp"), "--version"], capture_output=True, text=True)
    assert version.stdout.strip().startswith("kelp ")

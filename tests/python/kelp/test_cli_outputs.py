"""Where the kelp command writes: regular files replaced atomically, symlinks followed, FIFOs
written through, '-' as standard output, and outputs that cannot be written refused before any
fit.  Everything happens inside a temporary directory; no test touches a device node.
"""
import os
import threading

import numpy as np
import pytest

from conftest import CLI_SETTINGS, require_module
from kelp.cli import main as cli

forward = require_module("kelp.core._core")


def simulate(settings, output, *more):
    return cli.main(["simulate", "-s", str(settings), "--set", "k2=1e-17", "-o", str(output), "--points", "7",
                     *more])


@pytest.fixture
def settings(tmp_path):
    path = tmp_path / "rsa.toml"
    path.write_text(CLI_SETTINGS)
    return path


def table(text):
    lines = text.splitlines()
    assert lines[0] == "position_mm,T_5e-07_J,T_1e-06_J"
    return np.loadtxt(lines[1:], delimiter=",")


def test_regular_file_and_symlink_targets_are_replaced_and_links_kept(settings, tmp_path):
    plain = tmp_path / "plain.csv"
    plain.write_text("old")
    assert simulate(settings, plain) == 0
    expected = table(plain.read_text())
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    target = elsewhere / "target.csv"
    target.write_text("old")
    link = tmp_path / "link.csv"
    link.symlink_to(target)
    assert simulate(settings, link) == 0
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert np.array_equal(table(target.read_text()), expected)
    # The temporary file was made beside the target, and nothing is left of it.
    assert sorted(p.name for p in elsewhere.iterdir()) == ["target.csv"]
    dangling = tmp_path / "dangling.csv"
    dangling.symlink_to(elsewhere / "new.csv")
    assert simulate(settings, dangling) == 0
    assert dangling.is_symlink() and np.array_equal(table((elsewhere / "new.csv").read_text()), expected)


def test_fifo_is_written_through_to_its_reader(settings, tmp_path, capsys):
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    got = {}

    def reader():
        with open(fifo, "rb") as f:
            got["data"] = f.read()

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    try:
        assert simulate(settings, fifo) == 0
    finally:
        t.join(30)
        if t.is_alive():  # the command never opened the FIFO: release the reader
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    assert fifo.is_fifo()
    assert table(got["data"].decode()).shape == (7, 3)
    captured = capsys.readouterr()
    # Not a regular file: no log beside it, and the report stays off standard output.
    assert captured.out == "" and "wrote " in captured.err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pipe.csv", "rsa.toml"]


def test_dash_writes_the_csv_to_standard_output(settings, tmp_path, capfd):
    assert simulate(settings, "-") == 0
    out, err = capfd.readouterr()
    assert table(out).shape == (7, 3)
    assert "wrote standard output" in err
    assert not (tmp_path / "-").exists()


def stand_in(*args, **kwargs):
    raise AssertionError("the fit must not start")


UNWRITABLE = {
    # (command, how to break its output, words of the message)
    "fit prefix under a file": ("fit", lambda d: d / "rsa.csv" / "r", ["rsa.csv/r.json", "ot a directory"]),
    "fit figure is a directory": ("fit", lambda d: (d / "r.png").mkdir() or d / "r", ["r.png", "is a directory"]),
    "simulate into a directory": ("simulate", lambda d: d, ["is a directory"]),
    "simulate under a file": ("simulate", lambda d: d / "rsa.toml" / "x.csv", ["rsa.toml/x.csv"]),
}


@pytest.mark.parametrize("case", UNWRITABLE)
def test_unwritable_output_fails_before_any_work_and_names_the_path(settings, tmp_path, capsys, case):
    command, make, words = UNWRITABLE[case]
    data = tmp_path / "rsa.csv"
    assert simulate(settings, data) == 0
    capsys.readouterr()
    before = sorted(p.name for p in tmp_path.iterdir())
    output = make(tmp_path)
    if command == "fit":
        status = cli.main(["fit", str(data), "-s", str(settings), "-o", str(output)], fit_function=stand_in)
    else:
        status = simulate(settings, output)
    err = capsys.readouterr().err
    assert status == 1 and err.startswith(f"kelp {command}: error: cannot write ")
    for w in words:
        assert w in err, err
    assert ".tmp" not in err and ".kelp-check" not in err
    after = sorted(p.name for p in tmp_path.iterdir())
    assert after == before or after == sorted(before + ["r.png"])

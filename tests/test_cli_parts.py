"""The command line's promises about files, checked where each part keeps them."""

import json
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from test_cli import build_toy, image

try:
    import resource
except ImportError:  # Windows
    resource = None


@pytest.fixture
def detect(tmp_path, monkeypatch):
    """quarn-detect with the toy model, in a subprocess started in tmp_path."""
    monkeypatch.chdir(tmp_path)
    build_toy(tmp_path / "toy.onnx")

    def run(*args, **kw):
        return subprocess.run([sys.executable, "-m", "quarn.inspection.detect", "--model", "./toy.onnx", "--json", *args],
                              env=dict(os.environ, XDG_DATA_HOME=str(tmp_path / "xdg")), capture_output=True, text=True,
                              timeout=60, **kw)
    return run


@pytest.mark.skipif(resource is None, reason="no file size limit here")
def test_a_copy_that_fails_half_way_replaces_nothing(detect):
    # a noisy image compresses badly: its copy is far past the file size limit, which stands in for a full disk
    cv2.imwrite("big.png", np.random.default_rng(0).integers(0, 256, (300, 300, 3), np.uint8))
    image("small.png")
    Path("out").mkdir()
    Path("out/big.png").write_bytes(b"an earlier, complete copy")
    p = detect("--save", "out", "big.png", "small.png",
               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000)))
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 1 and {"file": "big.png", "error": "not saved: File too large"} in records
    assert sorted(os.listdir("out")) == ["big.png", "small.png"]  # no part file left
    assert Path("out/big.png").read_bytes() == b"an earlier, complete copy"


def test_the_same_file_named_four_ways_is_read_once(detect, tmp_path):
    image("a.png")
    Path("d").mkdir()
    p = detect("a.png", "./a.png", str(tmp_path / "a.png"), "d/../a.png")
    assert p.returncode == 0 and [json.loads(line)["file"] for line in p.stdout.splitlines()] == ["a.png"]
    assert p.stderr.splitlines()[-1].startswith("1 input: 1 processed")


def test_a_copy_written_earlier_is_not_replaced_under_another_name(tmp_path):
    from quarn.inspection.detect.cli.destinations import Destinations

    dests = Destinations(tmp_path / "out", [], print)
    first = dests(Path("x.png"), still=True)
    first.parent.mkdir()
    first.write_bytes(b"the copy of a/x.png")
    dests.wrote(first)
    # a case-insensitive share gives the copy a second name, as a hard link does
    os.link(first, tmp_path / "out" / "X.png")
    assert dests(Path("X.png"), still=True) == tmp_path / "out" / "X-2.png"

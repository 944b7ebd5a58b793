import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HEAD = """\
import logging, threading
from typing import Any, assert_type
import numpy as np
import numpy.typing as npt
from quarn.inspection.detect import dfine_runner as dr
from quarn.inspection.detect.cli import main
img: npt.NDArray[np.uint8] = np.zeros((4, 4, 3), np.uint8)
det = dr.get_detector(dr.DEFAULT_WEIGHTS, device=None)
"""
GOOD = """\
assert_type(dr.DfineDetector("m.onnx", "cpu").detect(img, 0.5, iou=0.4), list[dr.Detection])
assert_type(det._preprocess(img), tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]])
assert_type((det.model, det.provider, det.device, det.names), tuple[str, str, str, dict[int, str]])
assert_type((det._image_dtype, dr.COCO80), tuple[type[np.floating[Any]], tuple[str, ...]])
assert_type((dr._CACHE, dr._LOCK, dr.logger), tuple[dict[tuple[str, str], dr.DfineDetector], threading.Lock, logging.Logger])
assert_type((dr.is_available("m.onnx"), dr.available(), dr._providers(None)), tuple[bool, bool, list[str]])
assert_type(main(["--check"], prog="x"), int)
d = dr.Detection(0, "person", 0.9, (1, 2, 3, 4))
assert_type((d.cls_id, d.cls_name, d.conf, d.xyxy, d.obb), tuple[int, str, float, tuple[int, int, int, int], tuple[float, ...] | None])
error: RuntimeError = dr.DetectError("x")
"""


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy_cache")  # shared: numpy is analysed once

    def check(tmp_path, source):
        (tmp_path / "caller.py").write_text(source)
        p = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file=", "--cache-dir", str(cache),
                            "caller.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
        return p.returncode, p.stdout + p.stderr
    return check


def test_strict_caller_passes(mypy, tmp_path):
    assert mypy(tmp_path, HEAD + GOOD) == (0, "Success: no issues found in 1 source file\n")


@pytest.mark.parametrize("line, code", [
    ("dr.get_detector(model=3)", "arg-type"), ("det.detect(img, conf='high')", "arg-type"),
    ("dr.Detection(0, 'a', 0.5, (1, 2, 3))", "arg-type"), ("dr.available('m.onnx')", "call-arg"),
])
def test_wrong_calls_are_reported(mypy, tmp_path, line, code):
    status, out = mypy(tmp_path, HEAD + line + "\n")
    assert status == 1 and f"caller.py:{HEAD.count(chr(10)) + 1}: error:" in out and f"[{code}]" in out


def test_stub_matches_the_module():
    p = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file=",
                        "quarn.inspection.detect.dfine_runner"], capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stdout + p.stderr

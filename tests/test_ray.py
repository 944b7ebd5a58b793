"""--ray on a local Ray: the same output as a plain run, for quarn-detect, eval and compare; dead workers retried.

One local Ray serves the whole module (starting it is most of the time); the
commands run in this process and use it.  Its workers get a set-up hook that
kills the worker reading a file named crash-once* (the first time) or
crash-always* (every time), as a native crash would.
"""

import contextlib
import gc
import json
import logging
import os
import warnings
from pathlib import Path

import cv2
import numpy as np
import pytest

from helpers import build_known
from quarn.inspection.detect import cli, cluster, model_tool

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # The sanitizer's runtime reaches Ray's own worker processes, whose start-up (Ray's bundled setproctitle)
    # it reports, now and then, as a use-after-free; such a worker never registers and the run waits for it.
    pytest.skip("Ray's workers do not start reliably under AddressSanitizer", allow_module_level=True)

# before Ray is imported: the local Ray of these tests listens on 127.0.0.1 only, as the commands' own does
os.environ[cluster.LOCAL_ONLY] = "0"
ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")
pytest.importorskip("pycocotools")

LABELS, SCORES = [0, 1, 2], [0.9, 0.6, 0.3]
BOXES = [(0.25, 0.25, 0.75, 0.75), (0.0625, 0.125, 0.1875, 0.375), (0.5, 0.0625, 0.9375, 0.25)]
WEIGHTS = [[0.2, 0.0, 0.1], [0.0, 0.3, 0.0], [0.1, 0.0, 0.4]]


@pytest.fixture(scope="module")
def local_ray():
    tests = str(Path(__file__).parent)
    env = {"PYTHONPATH": os.pathsep.join(filter(None, [tests, os.environ.get("PYTHONPATH")]))}
    with ray_warnings_ignored():
        ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level=logging.ERROR,
                 runtime_env={"env_vars": env, "worker_process_setup_hook": "helpers.crash_on_marked_files"})
    assert ray.util.get_node_ip_address() == "127.0.0.1"  # Ray was not imported before this module set it
    yield
    with ray_warnings_ignored():
        ray.shutdown()


@contextlib.contextmanager
def ray_warnings_ignored():
    """Ray's own warnings about its settings, and (in some releases) about files and processes it leaves to the
    collector: collected here, so that they are not taken for the tests'."""
    with warnings.catch_warnings():
        for category in (DeprecationWarning, FutureWarning, ResourceWarning):
            warnings.simplefilter("ignore", category)
        yield
        gc.collect()


@pytest.fixture
def inputs(local_ray, tmp_path, monkeypatch):
    """Two models, images of several sizes and colours, a video, a file that is no image, in a folder."""
    monkeypatch.chdir(tmp_path)
    build_known("m.onnx", LABELS, BOXES, WEIGHTS, SCORES)
    build_known("half.onnx", LABELS, BOXES, WEIGHTS, SCORES, half=True)
    Path("in").mkdir()
    for k, (w, h) in enumerate([(320, 240), (160, 128), (256, 256), (64, 48), (640, 480)]):
        cv2.imwrite(f"in/{k}.png", np.full((h, w, 3), (40 * k, 200 - 30 * k, 60 + 35 * k), np.uint8))
    writer = cv2.VideoWriter("in/clip.avi", cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (96, 64))
    for red in (60, 160, 250):
        writer.write(np.full((64, 96, 3), (120, 80, red), np.uint8))
    writer.release()
    Path("in/broken.png").write_text("no picture")
    return tmp_path


def run(capsys, main, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def said(err):
    """stderr's lines of the command itself, without the closing summary's time and rate, and without Ray's own."""
    return [line.rsplit(";", 1)[0] for line in err.splitlines() if line.startswith("quarn-") or " processed, " in line]


@pytest.mark.parametrize("args", [["--json", "--conf", "0.2"], ["-r", "--every", "2"]])
def test_detect_gives_a_plain_runs_output(inputs, capsys, args):
    plain = run(capsys, cli.main, "-m", "./m.onnx", "in", *args)
    spread = run(capsys, cli.main, "-m", "./m.onnx", "in", *args, "--ray", "--workers", "2")
    assert spread[:2] == plain[:2] and plain[0] == 1  # the file that is no image fails, in its place
    assert said(spread[2]) == said(plain[2]) and "in/broken.png: not an image" in plain[2]


def test_eval_and_compare_give_a_plain_runs_figures(inputs, capsys):
    images = [{"id": k + 1, "file_name": f"{k}.png"} for k in range(5)]
    anns = [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [80, 60, 160, 120], "area": 19200, "iscrowd": 0},
            {"id": 2, "image_id": 3, "category_id": 2, "bbox": [16, 32, 30, 60], "area": 1800, "iscrowd": 0}]
    Path("in/ann.json").write_text(json.dumps({"images": images, "annotations": anns, "categories": [
        {"id": 1, "name": "person"}, {"id": 2, "name": "bicycle"}]}))
    for args in (["eval", "--coco", "in/ann.json", "-m", "./m.onnx", "--json", "--per-class"],
                 ["compare", "./m.onnx", "./half.onnx", "in/0.png", "in/3.png", "in/clip.avi", "--json", "--conf", "0.3"]):
        plain = run(capsys, model_tool.main, *args)
        spread = run(capsys, model_tool.main, *args, "--ray")
        assert spread[:2] == plain[:2] and plain[0] == 0 and json.loads(plain[1])
        assert said(spread[2]) == said(plain[2])


def test_a_dead_worker_is_retried_and_what_is_lost_is_reported(inputs, capsys):
    for name in ("crash-once.png", "crash-always.png"):
        os.link("in/0.png", f"in/{name}")
    plain = run(capsys, cli.main, "-m", "./m.onnx", "in", "--json")
    status, out, err = run(capsys, cli.main, "-m", "./m.onnx", "in", "--json", "--ray")
    lost = "could not be processed: its worker stopped each of 3 times it was tried (see the Ray logs)"
    want = [json.dumps({"file": "in/crash-always.png", "error": lost}) if '"in/crash-always.png"' in line else line
            for line in plain[1].splitlines()]
    assert status == 1 and out.splitlines() == want
    assert f"quarn-detect: in/crash-always.png: {lost}" in err.splitlines()
    assert "9 inputs: 7 processed, 2 failed;" in err  # the file that is no image, and the one that always kills


def test_a_worker_without_the_model_fails_each_input_with_the_reason(inputs, capsys, monkeypatch):
    # the model is found by name through QUARN_WEIGHTS_DIR here, and nowhere on the workers
    Path("weights/detect").mkdir(parents=True)
    os.link("m.onnx", "weights/detect/only-here.onnx")
    monkeypatch.setenv("QUARN_WEIGHTS_DIR", str(Path("weights").absolute()))
    status, out, err = run(capsys, cli.main, "-m", "only-here.onnx", "in/0.png", "in/1.png", "--json", "--ray")
    assert status == 1
    for line, name in zip(out.splitlines(), ["in/0.png", "in/1.png"], strict=True):
        record = json.loads(line)
        assert record["file"] == name and record["error"].startswith("could not be processed: the worker on ")
        assert "could not start: Model 'only-here.onnx' for component 'detect' was not found" in record["error"]


def test_more_workers_than_cpus_is_one_error(inputs, capsys):
    status, out, err = run(capsys, cli.main, "-m", "./m.onnx", "in/0.png", "--ray", "--workers", "3")
    assert (status, out) == (1, "")
    assert err.splitlines()[-1] == "quarn-detect: error: --workers 3 is more than the 2 CPUs of the Ray already connected"


def test_the_drivers_inference_settings_reach_the_workers(local_ray, monkeypatch):
    # the workers were started before this setting existed: only the run itself can hand it over
    from helpers import thread_setting_reporter

    monkeypatch.setenv("QUARN_ORT_THREADS", "3")
    got = list(cluster.spread(thread_setting_reporter, [0, 1], cluster.Options(workers=1)))
    assert got == ["3", "3"]

"""Videos and cameras in overlapping stages: the same output as one frame at a time, and every stop clean."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import cv2
import numpy as np
import pytest

from test_cli import FAKE_CAMERA, build_toy, damaged, messages, read_lines, read_video, summary, video

try:
    import resource
except ImportError:  # Windows
    resource = None

# quarn-detect with the stages overlapped or not; the threads still running after main are named on stderr
MAIN = """
    import sys, threading
    from quarn.inspection.detect import cli
    from quarn.inspection.detect.cli import run
    run.PIPELINED = {pipelined}
    status = cli.main(sys.argv[1:], prog="python -m quarn.inspection.detect")
    print("threads left:", *sorted(t.name for t in threading.enumerate() if t is not threading.main_thread()),
          file=sys.stderr)
    sys.exit(status)
"""
# detection fails on frames whose red level is 140-149
FLAKY = """
    from quarn.inspection.detect import dfine_runner as dr
    from quarn.inspection.detect.cli import command

    class Flaky:
        def __init__(self, detector):
            self.detector = detector
        def __getattr__(self, name):
            return getattr(self.detector, name)
        def detect(self, image, conf):
            if 140 <= image[..., 2].mean() < 150:
                raise dr.DetectError("the model failed on this frame")
            return self.detector.detect(image, conf=conf)

    opened = command.open_model
    def open_flaky(*args):
        model = opened(*args)
        model.detector = Flaky(model.detector)
        return model
    command.open_model = open_flaky
"""


@pytest.fixture
def detect(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    build_toy(tmp_path / "toy.onnx")

    def run(*args, pipelined=True, prelude="", popen=False, **kw):
        code = textwrap.dedent(prelude) + textwrap.dedent(MAIN.format(pipelined=pipelined))
        command = [sys.executable, "-c", code, "--model", "./toy.onnx", *args]
        env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "xdg"))
        if popen:
            return subprocess.Popen(command, env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        return subprocess.run(command, env=env, text=True, capture_output=True, timeout=60, **kw)
    return run


def threads_left(stderr):
    (line,) = [line for line in stderr.splitlines() if line.startswith("threads left:")]
    return line.split()[2:]


@pytest.mark.parametrize("args", [["--json", "--save", "out"], ["--every", "3", "--frames", "50", "--save", "out"]],
                         ids=["json", "table-every-frames"])
def test_overlapped_stages_give_what_one_frame_at_a_time_gives(detect, args):
    # unreadable frames (their records and grey stand-ins), failed detections and held-over boxes, all in order
    damaged("clip.avi", [100 + k for k in range(80)], frames=range(30, 36))
    runs = []
    for pipelined in (False, True):
        p = detect(*args, "clip.avi", pipelined=pipelined, prelude=FLAKY)
        frames, fps = read_video("out/clip.avi")
        assert os.listdir("out") == ["clip.avi"] and threads_left(p.stderr) == []
        runs.append((p.returncode, p.stdout, messages(p.stderr), summary(p.stderr)[0], fps, frames))
        os.remove("out/clip.avi")
    (serial, overlapped) = runs
    said = serial[1] + "\n".join(serial[2])
    assert serial[0] == 1 and "the model failed on this frame" in said and "could not be read" in said
    assert overlapped[:5] == serial[:5]
    assert len(overlapped[5]) == len(serial[5]) and all(np.array_equal(a, b) for a, b in zip(overlapped[5], serial[5]))


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_every_stage(detect, signum, status):
    video("long.avi", [230] * 3000)
    p = detect("--json", "--save", "out", "long.avi", popen=True)
    read_lines(p.stdout, 3)
    p.send_signal(signum)
    _, err = p.communicate(timeout=60)
    assert p.returncode == status and "Traceback" not in err and threads_left(err) == []
    assert os.listdir("out") == ["long.avi"] and len(read_video("out/long.avi")[0]) >= 2  # no part file: a whole video


# the camera fails at its sixth frame
FAILING_CAMERA = FAKE_CAMERA.replace("self.n += 1", "self.n += 1\n            if self.n == 6: raise RuntimeError('gone')")


@pytest.mark.parametrize("stage", ["reading", "writing the copy", "standard output"])
def test_a_failing_stage_ends_the_input_cleanly(detect, stage):
    if stage == "reading":
        p = detect("--camera", "0", "--json", "--save", "out", prelude=FAILING_CAMERA)
        records = [json.loads(line) for line in p.stdout.splitlines()]
        assert records[5:] == [{"camera": 0, "error": "gone"}] and [r["frame"] for r in records[:5]] == [0, 1, 2, 3, 4]
        assert len(read_video("out/camera0.mp4")[0]) == 5  # the frames read before are kept
        err = p.stderr
    elif stage == "writing the copy":
        if resource is None:
            pytest.skip("no file size limit here")
        writer = cv2.VideoWriter("clip.avi", cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (96, 64))
        for frame in np.random.default_rng(0).integers(0, 256, (40, 64, 96, 3), np.uint8):  # ~5 kB a frame in MJPG
            writer.write(frame)
        writer.release()
        # the file size limit stands in for a full disk
        p = detect("--json", "--save", "out", "clip.avi",
                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000)))
        records = [json.loads(line) for line in p.stdout.splitlines()]
        assert len([r for r in records if "detections" in r]) == 40  # detection went on
        assert [r["error"][:10] for r in records if "error" in r] == ["not saved:"] and os.listdir("out") == []
        err = p.stderr
    else:
        with detect("--camera", "0", popen=True, prelude=FAKE_CAMERA) as p:  # endless frames
            p.stdout.readline()
            p.stdout.close()  # like `| head -1`
            err = p.stderr.read()
            p.wait(timeout=60)
    assert p.returncode == 1 and "Traceback" not in err and threads_left(err) == []


def test_frames_read_ahead_are_bounded():
    from quarn.inspection.detect.cli import pipeline
    from quarn.inspection.detect.cli.sources import Frame, Source

    read, go = [], threading.Event()

    class Endless(Source):
        def __iter__(self):
            while True:
                read.append(len(read))
                yield Frame(read[-1], np.zeros((2, 2, 3), np.uint8))

    def examine(frame):
        go.wait()
        return [], None

    stages = pipeline.Stages(Endless("endless", Path()), examine)
    try:
        time.sleep(0.3)  # more than enough for an unbounded reader to run far ahead
        assert len(read) <= pipeline.DEPTH + 2  # queued, and one held by each thread
        go.set()
        frames = iter(stages)
        assert [next(frames)[0].index for _ in range(10)] == list(range(10))
    finally:
        go.set()
        assert stages.close() is None
    assert not [t for t in threading.enumerate() if t.name.startswith("quarn-detect")]


@pytest.mark.parametrize("overlapped", [False, True])
def test_a_failing_video_writer_gives_the_copy_up(tmp_path, monkeypatch, overlapped):
    from quarn.inspection.detect.cli.errors import InputError
    from quarn.inspection.detect.cli.writing import VideoOutput

    class Failing:  # OpenCV's writer, failing at its third frame
        fourcc = staticmethod(lambda *code: 0)

        def __init__(self, *args):
            self.n = 0

        def isOpened(self):
            return True

        def write(self, frame):
            self.n += 1
            if self.n == 3:
                raise cv2.error("the codec broke")

        def release(self):
            pass

    monkeypatch.setattr(cv2, "VideoWriter", Failing)
    out = VideoOutput(tmp_path / "v.mp4", 10.0, overlapped)
    try:
        for _ in range(6):  # encoded later when overlapped: the failure shows at a later frame, or at the end
            out.write(np.zeros((8, 8, 3), np.uint8))
    except InputError as exc:
        problem = str(exc)
        assert out.close(keep=False) == ""
    else:
        problem = out.close(keep=True)
    assert problem.startswith("the video writer failed at frame 2: ") and "the codec broke" in problem
    assert os.listdir(tmp_path) == [] and not [t for t in threading.enumerate() if t.name.startswith("quarn-detect")]

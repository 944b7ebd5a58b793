import contextlib
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import cv2
import numpy as np
import pytest


try:  # neither on Windows
    import fcntl
    import resource
except ImportError:
    fcntl = resource = None


# toy model: one detection per RGB plane, score = that plane's maximum, box = fractions of (w, h, w, h)
TOY = [(0, (0.25, 0.25, 0.75, 0.75)), (2, (0.0625, 0.125, 0.1875, 0.375)), (16, (0.625, 0.0625, 0.9375, 0.1875))]
BGR = (50, 100, 230)  # person 230/255, car 100/255, dog 50/255 (below the default 0.25)


def build_toy(path, meta=None, fault=None):
    """The toy model; ``fault`` breaks one point of the contract, ``meta`` goes into its metadata."""
    from onnx import TensorProto as T, helper as h, save

    io = h.make_tensor_value_info
    image = "input" if fault == "input name" else "images"
    image_shape, axes = ([1, 3, 640 * 640], [2]) if fault == "input rank" else ([1, 3, 640, 640], [2, 3])
    sizes_type = T.FLOAT if fault == "sizes type" else T.INT64
    nodes = [h.make_node("ReduceMax", [image], ["scores"], axes=axes, keepdims=0),
             h.make_node("Cast", ["orig_target_sizes"], ["wh"], to=T.FLOAT),
             h.make_node("Concat", ["wh", "wh"], ["whwh"], axis=1),
             h.make_node("Mul", ["whwh", "frac"], ["boxes"])]
    outputs = [io("labels", T.INT64, [1, 3]), io("boxes", T.FLOAT, [1, 3, 4]), io("scores", T.FLOAT, [1, 3])]
    if fault == "output order":
        outputs = outputs[2:] + outputs[:2]
    graph = h.make_graph(
        nodes, "toy", [io(image, T.FLOAT, image_shape), io("orig_target_sizes", sizes_type, [1, 2])], outputs,
        [h.make_tensor("labels", T.INT64, [1, 3], [c for c, _ in TOY]),
         h.make_tensor("frac", T.FLOAT, [1, 3, 4], [f for _, box in TOY for f in box])])
    model = h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8)
    if meta:
        h.set_model_props(model, meta)
    save(model, path)


# Stand-in for a camera: cli._open_capture is the one seam through which videos and cameras are opened.
# Camera 0 gives endless 64x48 frames whose red level (the toy's "person" score) steps by 10 per frame.
FAKE_CAMERA = """
    import numpy as np
    from quarn.inspection.detect import cli

    class Capture:
        def __init__(self, source):
            self.source, self.n = source, 0
        def isOpened(self):
            return self.source == 0
        def read(self):
            self.n += 1
            return True, np.full((48, 64, 3), (50, 100, (120 + 10 * self.n) % 256), np.uint8)
        def get(self, prop):
            return 15.0 if prop == 5 else 0.0  # cv2.CAP_PROP_FPS
        def release(self):
            pass

    real = cli._open_capture
    cli._open_capture = lambda source: Capture(source) if isinstance(source, int) else real(source)
"""
# an ONNX Runtime that offers only the CPU provider, whatever is installed
CPU_ONLY_ORT = """
    import onnxruntime
    onnxruntime.get_available_providers = lambda: ["CPUExecutionProvider"]
"""


@pytest.fixture(scope="module")
def weights(tmp_path_factory):
    root = tmp_path_factory.mktemp("weights")
    (root / "detect").mkdir()
    build_toy(root / "detect" / "toy.onnx")
    return root


@pytest.fixture
def cli(weights, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def run(*args, env=(), prelude=None, popen=False, **kw):
        """quarn-detect in a subprocess; ``prelude`` is Python run before its main (stand-ins)."""
        env = dict(os.environ, QUARN_WEIGHTS_DIR=str(weights), XDG_DATA_HOME=str(tmp_path / "xdg"), **dict(env))
        start = ["-m", "quarn.inspection.detect"]
        if prelude is not None:
            code = textwrap.dedent(prelude) + "\nimport sys\nfrom quarn.inspection.detect import cli\n" \
                "sys.exit(cli.main(sys.argv[1:], prog='python -m quarn.inspection.detect'))\n"
            start = ["-c", code]
        command = [sys.executable, *start, "--model", "toy.onnx", *args]
        if popen:  # run as a foreground job: Ctrl-C reaches it even when the tests run with SIGINT ignored
            return subprocess.Popen(command, env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        return subprocess.run(command, env=env, text=True, capture_output="stderr" not in kw,
                              timeout=kw.pop("timeout", 60), **kw)
    return run


PREFIX = "python -m quarn.inspection.detect: "


def messages(stderr):
    """The one-line messages on stderr, without the program name; the closing summary left out."""
    return [line[len(PREFIX):] for line in stderr.splitlines() if line.startswith(PREFIX)]


def summary(stderr):
    """The closing summary: ({"input": n, "processed": .., "failed": .., "image": .., "detection": ..}, s, images/s)."""
    (line,) = [line for line in stderr.splitlines() if " processed, " in line]
    counts, _, times = line.replace(":", ",").replace(";", ",").partition(" s,")
    parts = [part.split() for part in counts.split(",")]
    got = {words[1].rstrip("s"): int(words[0]) for words in parts[:-1]}
    return got, float(parts[-1][0]), float(times.split()[0])


def video(path, levels, w=64, h=48, fps=10.0):
    """A short MJPG video made with cv2.VideoWriter; frame k has red level levels[k]."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, (w, h))
    for red in levels:
        writer.write(np.full((h, w, 3), (50, 100, red), np.uint8))
    writer.release()


def read_video(path):
    cap = cv2.VideoCapture(str(path))
    frames = []
    while (got := cap.read())[0]:
        frames.append(got[1])
    fps = cap.get(cv2.CAP_PROP_FPS)
    cap.release()
    return frames, fps


def image(path, w=64, h=48):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    cv2.imwrite(str(path), np.full((h, w, 3), BGR, np.uint8))


def expected(w, h, conf=0.25):
    from quarn.inspection.detect.dfine_runner import COCO80
    dets = [(c, COCO80[c], v / 255, [int(f * s) for f, s in zip(box, (w, h, w, h))])
            for (c, box), v in zip(TOY, BGR[::-1])]
    return [d for d in dets if d[2] >= conf]


@pytest.mark.parametrize("conf", [None, 0.1, 0.5, 0.95])
def test_json_lines(cli, conf):
    image("a.png", 320, 240)
    image("b.png", 160, 128)
    p = cli("--json", *(["--conf", str(conf)] if conf else []), "a.png", "b.png")
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 0 and messages(p.stderr) == []
    n = len(expected(1, 1, conf or 0.25))
    assert summary(p.stderr)[0] == {"input": 2, "processed": 2, "failed": 0, "image": 2, "detection": 2 * n}
    assert [(r["file"], r["width"], r["height"]) for r in records] == [("a.png", 320, 240), ("b.png", 160, 128)]
    for r in records:
        got = [(d["cls_id"], d["cls_name"], d["conf"], d["xyxy"]) for d in r["detections"]]
        assert got == [(c, n, pytest.approx(v, abs=1e-6), b) for c, n, v, b in expected(r["width"], r["height"], conf or 0.25)]


def test_table(cli):
    image("a.png", 320, 240)
    p = cli("a.png")
    lines = p.stdout.splitlines()
    assert p.returncode == 0 and lines[0].split() == ["a.png", "320x240", "2", "detections"]
    assert [line.split() for line in lines[2:4]] == [[n, f"{v:.2f}", *map(str, b)] for _, n, v, b in expected(320, 240)]
    assert len(lines) == 4 and summary(p.stderr)[0] == {"input": 1, "processed": 1, "failed": 0, "image": 1, "detection": 2}


def test_save_draws_boxes(cli):
    sizes = {"a.png": (320, 240), "b.png": (256, 192)}
    for name, (w, h) in sizes.items():
        image(f"in/{name}", w, h)
    assert cli("--save", "out", "in").returncode == 0
    colours = set()
    for name, (w, h) in sizes.items():
        assert (cv2.imread(f"in/{name}") == BGR).all()  # the input is left alone
        out = cv2.imread(f"out/{name}")
        (*_, (x1, y1, x2, y2)), (*_, car) = expected(w, h)
        ym = (y1 + y2) // 2
        assert out.shape == (h, w, 3) and tuple(out[ym, x1]) == tuple(out[ym, x2]) == tuple(out[y2, (x1 + x2) // 2]) != BGR
        assert tuple(out[ym, (x1 + x2) // 2]) == tuple(out[ym, x1 - 6]) == tuple(out[h - 1, w - 1]) == BGR
        assert (out[y1 - 8:y1 - 2, x1 + 2:x1 + 30] != BGR).any(axis=2).mean() > 0.5  # label background
        colours.add((tuple(out[ym, x1]), tuple(out[(car[1] + car[3]) // 2, car[0]])))
    ((person, car),) = colours  # the same in both images, one per class
    assert person != car


CLOSE = [(c, (100 + 6 * k, 90 + 4 * k, 220, 200)) for k, c in enumerate((0, 2, 16, 41, 72))]


@pytest.mark.parametrize("w, h, boxes", [
    (32, 24, [(0, (4, 6, 28, 20))]), (8, 8, [(0, (1, 1, 6, 6))]), (64, 48, [(66, (20, 10, 60, 40))]),
    (320, 240, CLOSE), (320, 240, [(c, (300 - x1, 230 - y1, 319, 239)) for c, (x1, y1, _, _) in CLOSE]),
], ids=["32x24", "8x8", "keyboard on 64x48", "close boxes", "close boxes in a corner"])
def test_labels_stay_whole_inside_and_apart(w, h, boxes):
    from quarn.inspection.detect.cli import class_color, draw_detections
    from quarn.inspection.detect.dfine_runner import COCO80, Detection

    background = (128, 128, 128)
    dets = [Detection(cls_id=c, cls_name=COCO80[c], conf=0.93, xyxy=box) for c, box in boxes]
    colors = [background] + [class_color(c) for c, _ in boxes]

    def ink(*shown):  # text pixels: neither the background nor a box or label colour
        drawn = draw_detections(np.full((h, w, 3), background, np.uint8), shown)
        return ~np.any([(drawn == c).all(axis=2) for c in colors], axis=0), drawn

    together, drawn = ink(*dets)
    alone = [ink(d)[0] for d in dets]
    # no label cut off at an edge, none hiding another's text, and the picture mostly left to see
    assert not (together[0].any() or together[-1].any() or together[:, 0].any() or together[:, -1].any())
    assert together.sum() == sum(a.sum() for a in alone)
    assert (drawn == background).all(axis=2).mean() > 1 / 3
    assert all(a.any() for a in alone) == (min(w, h) >= 24)  # a label wherever one can be legible


@pytest.mark.parametrize("recursive", [False, True])
def test_folders(cli, recursive):
    for rel in ["d/b.png", "d/A.JPG", "d/c.webp", "d/sub/c.png"]:  # neither sorted nor reversed
        image(rel)
    Path("d/notes.txt").write_text("not an image")
    p = cli("--json", "--save", "out", *(["-r"] if recursive else []), "d")
    names = ["d/A.JPG", "d/b.png", "d/c.webp"] + (["d/sub/c.png"] if recursive else [])
    assert p.returncode == 0 and [json.loads(line)["file"] for line in p.stdout.splitlines()] == names
    assert sorted(str(f.relative_to("out")) for f in Path("out").rglob("*.*")) == sorted(n[2:] for n in names)


@pytest.mark.parametrize("args, status, words", [
    (["--conf", "1.5", "a.png"], 2, "--conf"), (["--conf", "nan", "a.png"], 2, "--conf"),
    (["--conf", "high", "a.png"], 2, "--conf"), ([], 2, "no images"), (["--check", "a.png"], 2, "--check"),
    (["--model", "absent.onnx", "a.png"], 1, "not found"), (["--model", "no/such/m.onnx", "a.png"], 1, "not found"),
    (["--model", "./bad.onnx", "a.png"], 1, "cannot load model"), (["--save", "s" * 300, "a.png"], 2, "--save"),
    (["--save", "a.png", "a.png"], 2, "not a folder"), (["--every", "0", "a.png"], 2, "--every"),
    (["--camera", "0", "a.png"], 2, "--camera"), (["--names", "n" * 300, "a.png"], 2, "--names"),
    (["--camera", str(2**31)], 2, "--camera"), (["--threads", "0", "a.png"], 2, "--threads"),
])
def test_usage_and_model_errors(cli, args, status, words):
    image("a.png")
    Path("bad.onnx").write_bytes(b"not a model")
    p = cli(*args)
    assert (p.returncode, p.stdout) == (status, "")
    assert len(p.stderr.splitlines()) == 1 and words in p.stderr and "Traceback" not in p.stderr


@pytest.mark.parametrize("bad", ["notes.txt", "fake.png", "empty.jpg", "fake.mp4", "missing.png", "folder", "n" * 300 + ".png"])
def test_bad_input_does_not_stop_the_rest(cli, bad):
    image("ok.png")
    Path("folder").mkdir()
    for name, data in {"notes.txt": b"hello", "fake.png": b"\x89PNG garbage", "empty.jpg": b"", "fake.mp4": b"moov"}.items():
        Path(name).write_bytes(data)
    p = cli("--json", bad, "ok.png")
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 1 and [(r["file"], "error" in r) for r in records] == [(bad, True), ("ok.png", False)]
    assert [m.split(": ", 1) for m in messages(p.stderr)] == [[bad, records[0]["error"]]]
    assert summary(p.stderr)[0] == {"input": 2, "processed": 1, "failed": 1, "image": 1, "detection": 2}


@pytest.mark.parametrize("args", [["a.png"], ["--check"]])
def test_onnxruntime_missing(cli, args):
    image("a.png")
    Path("block/onnxruntime").mkdir(parents=True)
    Path("block/onnxruntime/__init__.py").write_text("raise ImportError('blocked')")
    p = cli(*args, env={"PYTHONPATH": "block"})
    assert p.returncode == 1 and "Traceback" not in p.stderr + p.stdout
    assert "onnxruntime is required" in (p.stdout if args == ["--check"] else p.stderr)


@pytest.mark.parametrize("model", ["toy.onnx", "absent.onnx"])
def test_check(cli, weights, tmp_path, model):
    import onnxruntime

    p = cli("--check", "--device", "cpu", "--model", model)
    rows = [[part.strip() for part in line.split(":", 1)] for line in p.stdout.splitlines()]
    info, found = dict(rows), model == "toy.onnx"
    assert info["onnxruntime"] == onnxruntime.__version__ and info["requested providers"] == "CPUExecutionProvider"
    assert p.returncode == (0 if found else 1) and info["status"].startswith("ready" if found else "NOT READY")
    assert info["provider in use"] == ("CPUExecutionProvider (device cpu)" if found else "-")
    places = [str(weights / "detect" / model), str(tmp_path / "xdg/quarn/weights/detect" / model)]
    assert [v for k, v in rows if k in ("model file", "looked in")] == (places[:1] if found else ["NOT FOUND", *places])


@pytest.mark.parametrize("model", ["./" + "m" * 300 + ".onnx", "m" * 300 + ".onnx"])
def test_check_with_a_name_the_system_cannot_hold(cli, model):
    p = cli("--check", "--model", model)
    assert p.returncode == 1 and "Traceback" not in p.stderr + p.stdout
    assert "NOT READY" in p.stdout and "too long" in p.stdout


def test_progress_and_verbose_on_a_terminal(cli):
    pty = pytest.importorskip("pty")  # without a terminal no progress is drawn: see test_json_lines' stderr
    for name in "abc":
        image(f"{name}.png")
    reader, writer = pty.openpty()
    assert cli("-v", "a.png", "b.png", "c.png", stderr=writer, stdout=subprocess.PIPE).returncode == 0
    os.close(writer)
    err = b""
    with contextlib.suppress(OSError):  # the reader gets EIO once the child side is closed
        while chunk := os.read(reader, 65536):
            err += chunk
    os.close(reader)
    text = err.decode().replace("\x1b[K", "").replace("\r\n", "\n")
    shown = [part.split("\n")[0] for part in text.split("\r") if "images/s" in part and " input" not in part]
    # count, rate and time left while inputs remain
    shown = list(dict.fromkeys(shown))  # the line is drawn again after each line printed above it
    assert [s.split()[0] for s in shown] == ["0/3", "1/3", "2/3"] and all("left" in s for s in shown[1:])
    timed = [line.replace(",", "").split() for line in text.splitlines() if ".png: read " in line]
    assert [t[0] for t in timed] == ["a.png:", "b.png:", "c.png:"]
    # detection time measured once, around detect: no part of it reported larger than the whole
    assert all(float(t[2]) > 0 and float(t[5]) > 0 and len(t) == 7 for t in timed)
    (median,) = [line.split() for line in text.splitlines() if line.startswith("median per image")]
    assert median[3] == "read" and median[6] == "detect" and float(median[4]) > 0 and float(median[7]) > 0


def _snapshot(root):
    return {p: p.read_bytes() for p in sorted(Path(root).rglob("*")) if p.is_file()}


@pytest.mark.parametrize("order", [("B", "A"), ("A", "B")])
def test_save_never_writes_over_an_input(cli, order):
    image("A/x.png", 64, 48)
    image("B/x.png", 80, 60)
    before = _snapshot("A") | _snapshot("B")
    p = cli("--json", *order, "--save", "A")
    assert (_snapshot("A") | _snapshot("B"))[Path("A/x.png")] == before[Path("A/x.png")]
    ok = [r for r in map(json.loads, p.stdout.splitlines()) if "error" not in r]
    assert {r["file"]: len(r["detections"]) for r in ok} == {"A/x.png": 2, "B/x.png": 2}
    assert p.returncode == 1 and "A/x.png" in p.stderr  # what could not be saved is said, not hidden
    assert summary(p.stderr)[0]["failed"] == len([r for r in map(json.loads, p.stdout.splitlines()) if "error" in r])
    assert not [f for f in Path("A").iterdir() if f.name.startswith(".")]  # no temporary left behind


def test_save_never_writes_through_links_to_an_input(cli):
    image("in/x.png")
    image("in/y.png")
    Path("out").mkdir()
    os.link("in/x.png", "out/x.png")  # the same file under another name
    Path("out/y.png").symlink_to(Path("in/y.png").resolve())
    before = _snapshot("in")
    p = cli("in/x.png", "in/y.png", "--save", "out")
    assert _snapshot("in") == before and p.returncode == 1
    assert [m.split(": ")[:2] for m in messages(p.stderr)] == [["in/x.png", "not saved"], ["in/y.png", "not saved"]]


def test_save_never_writes_over_the_model_or_the_names_file(cli):
    image("in/m.png")
    image("in/names.png")
    Path("out").mkdir()
    build_toy("out/m.png")  # a model file is a model file whatever its name
    Path("out/names.png").write_text("bolt\nnut\n")
    before = _snapshot("out")
    p = cli("--model", "./out/m.png", "--names", "out/names.png", "in", "--save", "out")
    assert _snapshot("out") == before and p.returncode == 1
    assert [m.split(": ")[:2] for m in messages(p.stderr)] == [["in/m.png", "not saved"], ["in/names.png", "not saved"]]


def test_save_keeps_every_output_of_the_run(cli):
    image("a/x.png", 64, 48)
    image("b/x.png", 80, 60)
    image("c/x.png", 96, 72)
    video("a/v.avi", [200] * 3, 64, 48)
    video("b/v.avi", [200] * 3, 80, 60)
    inputs = ["a/x.png", "b/x.png", "c/x.png", "a/v.avi", "b/v.avi"]
    p = cli("--json", *inputs, "--save", "out")
    assert p.returncode == 0
    # each input's record names its copy: the first record of a video names the video's
    saved = {r["file"]: r["saved"] for r in map(json.loads, p.stdout.splitlines()) if "saved" in r}
    assert saved == {"a/x.png": "out/x.png", "b/x.png": "out/x-2.png", "c/x.png": "out/x-3.png",
                     "a/v.avi": "out/v.avi", "b/v.avi": "out/v-2.avi"}
    assert all(cv2.imread(out).shape[1] == cv2.imread(src).shape[1] for src, out in saved.items() if out.endswith(".png"))
    assert [read_video(saved[v])[0][0].shape[1] for v in ("a/v.avi", "b/v.avi")] == [64, 80]
    table = cli(*inputs, "--save", "out").stdout.splitlines()
    assert [line for line in table if "saved" in line] == [f"  saved: {saved[i]}" for i in inputs]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes here")
@pytest.mark.parametrize("bad", ["pipe", "link-to-pipe", os.devnull, "folder"])
def test_anything_but_a_regular_file_is_skipped(cli, bad):
    image("ok.png")
    os.mkfifo("pipe")  # nobody ever writes to it: reading it would wait forever
    Path("link-to-pipe").symlink_to("pipe")
    Path("folder").mkdir()
    os.mkfifo("folder/x.png")
    p = cli("--json", bad, "ok.png", timeout=20)
    assert p.returncode == 1 and "Traceback" not in p.stderr
    assert [json.loads(line)["file"] for line in p.stdout.splitlines()] == [bad, "ok.png"]
    assert [m.split(": ")[0] for m in messages(p.stderr)] == [bad]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes here")
@pytest.mark.parametrize("target", ["pipe", "secret.bin"])
def test_only_media_containers_are_read_as_video(cli, target):
    # FFmpeg goes by content: an ffconcat script named .mp4 would wait on the pipe or read the file it names
    Path("d").mkdir()
    os.mkfifo("d/pipe")
    video("secret.avi", [230] * 5)
    os.rename("secret.avi", "d/secret.bin")  # a video that no listing of d takes for one
    Path("d/x.mp4").write_text(f"ffconcat version 1.0\nfile {target}\n")
    image("d/ok.png")
    p = cli("--json", "-r", "d", timeout=30)
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 1 and [(r["file"], "error" in r) for r in records] == [("d/ok.png", False), ("d/x.mp4", True)]
    assert "not a video" in records[1]["error"]


def person(record):
    """The toy's "person" score of a JSON record (its red level / 255), or None."""
    return next((d["conf"] for d in record["detections"] if d["cls_id"] == 0), None)


@pytest.mark.parametrize("every", [1, 2, 4])
def test_video_frames(cli, every):
    image("a.png")
    levels = [130, 150, 170, 190, 210, 230, 250]
    video("clip.avi", levels)
    p = cli("--json", "--every", str(every), "a.png", "clip.avi")
    records = [json.loads(line) for line in p.stdout.splitlines()]
    frames = [r for r in records if r["file"] == "clip.avi"]
    assert p.returncode == 0 and records[0]["file"] == "a.png" and "frame" not in records[0]
    assert [r["frame"] for r in frames] == list(range(0, len(levels), every))
    assert all((r["width"], r["height"]) == (64, 48) for r in frames)
    # MJPG is lossy: each frame's score is its own red level, within a few steps
    assert [person(r) for r in frames] == [pytest.approx(v / 255, abs=0.03) for v in levels[::every]]
    assert summary(p.stderr)[0] == {"input": 2, "processed": 2, "failed": 0, "image": 1 + len(frames),
                                    "detection": 2 + 2 * len(frames)}
    table = cli("--every", str(every), "clip.avi").stdout.splitlines()
    rows = [line.split() for line in table[2:-1]]
    assert table[0].split() == ["clip.avi", "64x48", "10", "fps"] and table[1].split()[0] == "frame"
    assert [(int(r[0]), r[1]) for r in rows] == [(f, n) for f in range(0, len(levels), every) for n in ("person", "car")]
    assert table[-1] == f"clip.avi: {len(levels)} frames read, {2 * len(frames)} detections"
    limited = cli("--json", "--every", str(every), "--frames", "3", "clip.avi").stdout.splitlines()
    assert [json.loads(line)["frame"] for line in limited] == list(range(0, 3, every))


@pytest.mark.parametrize("name", ["clip.avi", "clip.mp4", "clip.webm"])
def test_video_save(cli, name):
    levels = [130, 160, 190, 220, 250]
    writer = cv2.VideoWriter(name, cv2.VideoWriter_fourcc(*("VP80" if name.endswith("webm") else "MJPG"
                                                             if name.endswith("avi") else "mp4v")), 12.0, (96, 64))
    for red in levels:
        writer.write(np.full((64, 96, 3), (50, 100, red), np.uint8))
    writer.release()
    p = cli("--every", "2", "--save", "out", name)
    assert p.returncode == 0, p.stderr
    out = Path("out") / (name if not name.endswith("webm") else name + ".mp4")
    frames, fps = read_video(out)
    assert [f.name for f in Path("out").iterdir()] == [out.name]  # no temporary left
    assert (len(frames), fps) == (len(levels), 12.0) and all(f.shape == (64, 96, 3) for f in frames)
    (x1, y1, x2, y2) = expected(96, 64)[0][3]
    looks = []
    for f in frames:  # every frame carries the latest boxes: held-over ones dashed, labelled "@0"
        f = f.astype(int)
        off = np.abs(f - f[-1, -1]).max(axis=2)  # how far from the frame's own colour
        edge = (off[y2, x1:x2 + 1] > 40).mean()  # share of the bottom edge drawn
        label = (off[y1 - 8:y1 - 2] > 40).mean(axis=0) > 0.5  # columns of its label
        looks.append(("solid" if edge > 0.95 else "dashed" if edge > 0.4 else "none", label.nonzero()[0].max() > 90,
                      off[(y1 + y2) // 2, (x1 + x2) // 2] < 30))
    assert looks == [("solid", False, True), ("dashed", True, True)] * 2 + [("solid", False, True)]


def damaged(path, levels, frames=(), keep=None):
    """An MJPG video whose given frames cannot be decoded, cut after `keep` frames."""
    video(path, levels)
    data = bytearray(Path(path).read_bytes())
    starts = [m.start() for m in re.finditer(rb"\xff\xd8\xff", data)]  # one JPEG per frame
    assert len(starts) == len(levels)
    for k in frames:  # the frame's JPEG data zeroed, up to the 8-byte header of the next AVI chunk
        data[starts[k]:starts[k + 1] - 8] = bytes(starts[k + 1] - 8 - starts[k])
    Path(path).write_bytes(data[:starts[keep]] if keep is not None else data)


@pytest.mark.parametrize("damage", ["middle", "cut"])
def test_unreadable_frames(cli, damage):
    levels = [100 + 2 * k for k in range(60)]
    bad, n = (range(20, 30), 60) if damage == "middle" else (range(0), 45)
    damaged("clip.avi", levels, bad, None if damage == "middle" else n)
    p = cli("--json", "--save", "out", "clip.avi")
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert [r["frame"] for r in records] == list(range(n)) and [r["frame"] for r in records if "error" in r] == list(bad)
    # the frames after the damage are read, each as itself: its score is its own red level
    assert [person(r) for r in records if "error" not in r] == [
        pytest.approx(levels[k] / 255, abs=0.03) for k in range(n) if k not in bad]
    assert messages(p.stderr) == (["clip.avi: 10 frames could not be read: 20-29"] if damage == "middle" else
                                  ["clip.avi: the video ended after 45 of the 60 frames it announces"])
    # frames that cannot be examined fail the input; a container's count can be an estimate, so a short video does not
    assert p.returncode == (1 if damage == "middle" else 0)
    assert summary(p.stderr)[0]["image"] == n - len(bad) and len(read_video("out/clip.avi")[0]) == n


# the camera's frames grow at frame 10, as a stream's may
RESIZING_CAMERA = FAKE_CAMERA.replace("np.full((48, 64, 3),", "np.full((48, 64, 3) if self.n <= 10 else (60, 80, 3),")


@pytest.mark.skipif(resource is None, reason="no file size limit here")
@pytest.mark.parametrize("trouble", ["disk full", "frame size change"])
def test_an_incomplete_video_replaces_nothing(cli, trouble):
    Path("out").mkdir()
    if trouble == "disk full":  # the file size limit stands in for a full disk: writes past it fail
        noisy = np.random.default_rng(0).integers(0, 256, (40, 64, 96, 3), np.uint8)  # ~5 kB a frame in MJPG
        writer = cv2.VideoWriter("clip.avi", cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (96, 64))
        for frame in noisy:
            writer.write(frame)
        writer.release()
        name, args, n, words = "clip.avi", ["clip.avi"], 40, "only "
        kw = {"preexec_fn": lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))}
    else:
        name, args, n, words = "camera0.mp4", ["--camera", "0", "--frames", "20"], 20, "frame 10 is 80x60, but the video began at 64x48"
        kw = {"prelude": RESIZING_CAMERA}
    Path("out", name).write_bytes(b"an earlier, complete output")
    p = cli("--json", "--save", "out", *args, **kw)
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 1 and len([r for r in records if "detections" in r]) == n  # detection went on
    (problem,) = [m for m in messages(p.stderr) if "not saved" in m]
    assert words in problem and summary(p.stderr)[0]["failed"] == 1
    assert os.listdir("out") == [name] and Path("out", name).read_bytes() == b"an earlier, complete output"


@pytest.mark.parametrize("fps, written", [(1e9, 1000.0), (0.001, 0.01)])
def test_a_frame_rate_no_writer_keeps(cli, fps, written):
    p = cli("--camera", "0", "--frames", "3", "--save", "out", prelude=FAKE_CAMERA.replace("15.0 if", f"{fps!r} if"))
    assert p.returncode == 0 and [m for m in messages(p.stderr) if f"frame rate of {fps:g} fps cannot be written" in m]
    frames, got = read_video("out/camera0.mp4")
    assert len(frames) == 3 and got == pytest.approx(written)


def test_camera(cli):
    p = cli("--camera", "0", "--frames", "7", "--every", "3", "--json", "--save", "out", prelude=FAKE_CAMERA)
    records = [json.loads(line) for line in p.stdout.splitlines()]
    assert p.returncode == 0, p.stderr
    assert [(r["camera"], r["frame"]) for r in records] == [(0, 0), (0, 3), (0, 6)]
    assert [person(r) for r in records] == [pytest.approx((120 + 10 * (f + 1)) / 255) for f in (0, 3, 6)]
    frames, fps = read_video("out/camera0.mp4")
    assert (len(frames), fps, frames[0].shape) == (7, 15.0, (48, 64, 3))
    assert summary(p.stderr)[0] == {"input": 1, "processed": 1, "failed": 0, "image": 3, "detection": 6}
    p = cli("--camera", "1", "--json", prelude=FAKE_CAMERA)
    assert p.returncode == 1 and json.loads(p.stdout) == {"camera": 1, "error": "camera 1 could not be opened"}
    assert cli("--camera", "0", "a.png", prelude=FAKE_CAMERA).returncode == 2


@pytest.mark.parametrize("fault, words", [
    ("input name", "no input 'images'"), ("input rank", "input 'images' has rank 3, not 4"),
    ("sizes type", "input 'orig_target_sizes' is tensor(float), not tensor(int64)"),
    ("output order", "outputs are 'scores', 'labels', 'boxes', not 'labels', 'boxes', 'scores' in this order"),
])
def test_model_contract(cli, fault, words):
    build_toy("broken.onnx", fault=fault)
    for name in "abc":
        image(f"in/{name}.png")
    p = cli("--model", "./broken.onnx", "--json", "in")
    assert (p.returncode, p.stdout) == (1, "") and len(p.stderr.splitlines()) == 1  # once, before any image
    assert words in p.stderr and "does not fit" in p.stderr
    check = cli("--model", "./broken.onnx", "--check", "--json")
    report = json.loads(check.stdout)
    assert check.returncode == 1 and not report["ready"] and words in report["contract"]


def test_class_names(cli):
    image("a.png", 320, 240)
    Path("site.txt").write_text("scratch\n\ndent\n", encoding="utf-8")  # class 1 has no name: shown by id
    Path("data.yaml").write_text("names:\n  0: hole\n  2: burr\n", encoding="utf-8")
    build_toy("listed.onnx", meta={"names": json.dumps(["bolt", "nut", "washer"])})
    build_toy("odd.onnx", meta={"names": "bolt, nut"})

    def names(*args):
        p = cli("--json", "--conf", "0.1", *args, "a.png")
        assert p.returncode == 0, p.stderr
        return [d["cls_name"] for d in json.loads(p.stdout)["detections"]]

    assert names() == ["person", "car", "dog"]
    assert names("--names", "site.txt") == ["scratch", "dent", "16"]
    if importlib.util.find_spec("yaml"):  # YAML names files need the optional PyYAML
        assert names("--names", "data.yaml") == ["hole", "burr", "16"]
    assert names("--model", "./listed.onnx", "--names", "site.txt") == ["scratch", "dent", "16"]
    # a malformed declaration is not used; --check says so
    assert names("--model", "./odd.onnx") == ["person", "car", "dog"]
    report = json.loads(cli("--model", "./odd.onnx", "--check", "--json").stdout)["names"]
    assert report["source"] == "the module (COCO80)" and "malformed" in report["note"]
    table = cli("--names", "site.txt", "a.png").stdout.splitlines()
    assert [line.split()[0] for line in table[2:4]] == ["scratch", "dent"]
    # drawn labels: the same boxes, other words in the label boxes
    assert cli("--save", "coco", "a.png").returncode == cli("--names", "site.txt", "--save", "site", "a.png").returncode == 0
    coco, site = cv2.imread("coco/a.png"), cv2.imread("site/a.png")
    x1, y1, x2, y2 = expected(320, 240)[0][3]
    assert (coco[y1 + 3:y2 - 3, x1 + 3:x2 - 3] == site[y1 + 3:y2 - 3, x1 + 3:x2 - 3]).all()
    assert (coco[:, x1] == site[:, x1]).mean() > 0.9 and (coco[y1 - 12:y1, x1:x1 + 60] != site[y1 - 12:y1, x1:x1 + 60]).any()
    for bad in ("missing.txt", "empty.txt"):
        Path("empty.txt").write_text("\n\n")
        p = cli("--names", bad, "a.png")
        assert p.returncode == 2 and "--names" in p.stderr and len(p.stderr.splitlines()) == 1


def test_declared_names_are_the_detectors(cli):
    image("a.png", 320, 240)
    build_toy("listed.onnx", meta={"names": json.dumps(["bolt", "nut", "washer"]), "quarn:classes": "3"})
    build_toy("mapped.onnx", meta={"names": json.dumps({"0": "hole\x1b[2J", "2": "burr"})})
    listed = cli("--model", "./listed.onnx", "--json", "--conf", "0.1", "a.png")
    assert [d["cls_name"] for d in json.loads(listed.stdout)["detections"]] == ["bolt", "washer", "16"]
    table = cli("--model", "./mapped.onnx", "--conf", "0.1", "a.png").stdout
    assert [line.split()[0] for line in table.splitlines()[2:5]] == ["hole\\x1b[2J", "burr", "16"]
    report = json.loads(cli("--model", "./listed.onnx", "--check", "--json").stdout)["names"]
    assert (report["source"], report["names"], report["warning"]) == (
        "the model's metadata", {"0": "bolt", "1": "nut", "2": "washer"}, None)


def test_check_warns_of_a_class_count_without_names(cli):
    build_toy("three.onnx", meta={"quarn:classes": "3"})
    p = cli("--model", "./three.onnx", "--check")
    rows = dict(line.split(":", 1) for line in p.stdout.splitlines())
    assert p.returncode == 0 and "the model has 3 classes, not COCO's 80, and declares no names" in rows["  WARNING"]
    assert "declares no names" in p.stderr
    Path("site.txt").write_text("scratch\ndent\nburr\nhole\n")
    report = json.loads(cli("--model", "./three.onnx", "--names", "site.txt", "--check", "--json").stdout)["names"]
    assert report["warning"] == "4 class names from site.txt, but the model has 3 classes"
    assert "WARNING" not in cli("--check").stdout


def test_untrained_weights_are_announced(cli):
    image("a.png")
    build_toy("random.onnx", meta={"quarn:weights": "untrained"})
    p = cli("--model", "./random.onnx", "--json", "a.png")
    assert p.returncode == 0 and len(p.stdout.splitlines()) == 1
    assert [m for m in messages(p.stderr) if "UNTRAINED" in m]
    check = cli("--model", "./random.onnx", "--check")
    rows = dict(line.split(":", 1) for line in check.stdout.splitlines())
    assert check.returncode == 0 and "UNTRAINED" in rows["weights"] and "UNTRAINED" in rows["status"]
    assert json.loads(cli("--model", "./random.onnx", "--check", "--json").stdout)["untrained"] is True
    assert "UNTRAINED" not in cli("--check").stdout + cli("a.png").stderr


def read_lines(stream, n):
    """The first n lines, read from the pipe itself: communicate() then gets every byte after them."""
    data = b""
    while data.count(b"\n") < n and (byte := os.read(stream.fileno(), 1)):
        data += byte
    return data.decode().splitlines()


@pytest.mark.parametrize("signum, status, word", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")])
def test_interrupt_keeps_what_was_written(cli, signum, status, word):
    image("a.png")
    image("b.png")
    video("long.avi", [230] * 3000)
    p = cli("--json", "--save", "out", "a.png", "b.png", "long.avi", popen=True)
    lines = read_lines(p.stdout, 4)  # two images and two frames done
    p.send_signal(signum)
    rest, err = p.communicate(timeout=60)
    assert p.returncode == status and "Traceback" not in err
    assert [json.loads(line).get("frame") for line in lines] == [None, None, 0, 1]
    (note,) = [m for m in messages(err) if word in m]
    assert note.startswith(f"{word} after 2 of 3 inputs (in long.avi at frame ")
    counts, _, _ = summary(err)
    shown = len(lines[2:] + rest.splitlines())  # frames whose record was printed
    assert [json.loads(line)["frame"] for line in lines[2:] + rest.splitlines()] == list(range(shown))
    # the frame being detected when the signal came is counted but may have no record yet
    assert counts["input"] == 3 and counts["processed"] == 2 and 2 + shown <= counts["image"] <= 3 + shown
    assert sorted(f.name for f in Path("out").iterdir()) == ["a.png", "b.png", "long.avi"]  # no temporaries
    assert cv2.imread("out/a.png").shape == (48, 64, 3)
    frames, fps = read_video("out/long.avi")  # a playable video of the frames done: the last shown may be missing
    assert shown - 1 <= len(frames) <= shown and fps == 10.0 and all(f.shape == (48, 64, 3) for f in frames)


@pytest.mark.skipif(fcntl is None, reason="no file locks here")
def test_a_killed_run_leaves_nothing_behind(cli):
    image("a.png")
    video("long.avi", [230] * 3000)
    p = cli("--json", "--save", "out", "long.avi", popen=True)
    read_lines(p.stdout, 2)
    p.kill()
    p.communicate(timeout=60)
    (left,) = os.listdir("out")  # the killed run's unfinished video
    busy = Path("out/.b.quarn-part-1-0123abcd.png")  # one that a running run is writing: it holds the lock
    with open(busy, "wb") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        q = cli("--save", "out", "a.png")
    assert q.returncode == 0 and sorted(os.listdir("out")) == [busy.name, "a.png"]
    assert [m for m in messages(q.stderr) if "killed run" in m and left in m]


@pytest.mark.skipif(not Path("/proc/self/fd").is_dir(), reason="needs /proc to name the synced files")
def test_outputs_reach_the_disk_before_they_are_renamed(cli):
    image("a.png")
    video("clip.avi", [230] * 3)
    log = """
        import os, sys
        fsync, replace = os.fsync, os.replace
        def logged_fsync(fd):
            fsync(fd)
            print("fsync", os.readlink(f"/proc/self/fd/{fd}"), file=sys.stderr)
        def logged_replace(src, dst, **kw):
            replace(src, dst, **kw)
            print("replace", os.path.abspath(src), os.path.abspath(dst), file=sys.stderr)
        os.fsync, os.replace = logged_fsync, logged_replace
    """
    p = cli("--save", "out", "a.png", "clip.avi", prelude=log)
    events = [line.split()[1:] for line in p.stderr.splitlines() if line.split()[0] in ("fsync", "replace")]
    renames = [e for e in events if len(e) == 2]
    assert p.returncode == 0 and [Path(dst).name for _, dst in renames] == ["a.png", "clip.avi"]
    for part, dst in renames:  # the data before the rename, the folder's entry after it
        at = events.index([part, dst])
        assert [part] in events[:at] and [str(Path(dst).parent)] in events[at + 1:]


def test_version(cli):
    from importlib.metadata import version

    p = cli("--version")
    assert (p.returncode, p.stdout.split()) == (0, ["python", "-m", "quarn.inspection.detect", version("quarn")])


def test_closed_pipe_ends_quietly(cli):
    with cli("--camera", "0", popen=True, prelude=FAKE_CAMERA) as p:  # endless frames: it is still writing
        assert p.stdout.readline().startswith("camera 0")
        p.stdout.close()  # like `| head -1`
        err = p.stderr.read()
        assert p.wait(timeout=60) == 1 and err == ""


@pytest.mark.parametrize("stdout", ["closed", "full"])
def test_unwritable_stdout_is_one_error(cli, stdout):
    if stdout == "full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    for name in "abc":
        image(f"{name}.png")
    with open(os.devnull if stdout == "closed" else "/dev/full", "w") as out:
        p = cli("a.png", "b.png", "c.png", stdout=out, stderr=subprocess.PIPE,
                preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None)
    assert p.returncode == 1 and "Traceback" not in p.stderr and "Exception ignored" not in p.stderr
    (problem,) = messages(p.stderr)
    assert "standard output" in problem


def test_a_closed_stderr_changes_nothing_else(cli):
    image("a.png")
    video("v.avi", [230] * 5)
    p = cli("--save", "out", "a.png", "v.avi", stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=lambda: os.close(2))
    assert p.returncode == 0 and p.stdout.splitlines()[0].startswith("a.png  64x48")
    assert cv2.imread("out/a.png").shape == (48, 64, 3) and len(read_video("out/v.avi")[0]) == 5


@pytest.mark.parametrize("offered, cause", [
    (CPU_ONLY_ORT, "has no CUDA provider"),
    (CPU_ONLY_ORT.replace('["CPUExecutionProvider"]', '["CUDAExecutionProvider", "CPUExecutionProvider"]'),
     "could not start it"),
], ids=["cpu-only-runtime", "cuda-offered-but-not-starting"])
def test_check_cuda_when_cuda_does_not_run(cli, offered, cause):
    p = cli("--check", "--device", "cuda", prelude=offered)
    rows = dict(line.split(":", 1) for line in p.stdout.splitlines())
    assert p.returncode == 1 and rows["requested device"].strip() == "cuda"
    status = rows["status"].strip()
    assert status.startswith("NOT READY: CUDA was requested but ONNX Runtime runs CPUExecutionProvider") and cause in status
    assert cli("--check", "--device", "cpu", prelude=offered).returncode == 0


# an ONNX Runtime whose sessions say on stderr which options they were given
SHOW_SESSION_OPTIONS = """
    import sys, onnxruntime
    real = onnxruntime.InferenceSession
    def session(path, sess_options=None, **kw):
        shown = sess_options and (sess_options.intra_op_num_threads, sess_options.inter_op_num_threads,
                                  sess_options.get_session_config_entry("session.intra_op.allow_spinning"))
        print("session options:", shown, file=sys.stderr)
        return real(path, sess_options, **kw)
    onnxruntime.InferenceSession = session
"""


@pytest.mark.parametrize("flags, env, threads, options", [
    ([], {}, [(None, "default")] * 3, None),
    (["--threads", "1", "--no-spin"], {"QUARN_ORT_THREADS": "4", "QUARN_ORT_INTER_THREADS": "2"},
     [("1", "--threads"), ("2", "QUARN_ORT_INTER_THREADS"), ("0", "--no-spin")], (1, 2, "0")),
    ([], {"QUARN_ORT_THREADS": "", "QUARN_ORT_SPIN": "1"}, [(None, "default")] * 2 + [("1", "QUARN_ORT_SPIN")], (0, 0, "1")),
])
def test_thread_settings_in_force(cli, flags, env, threads, options):
    p = cli("--check", "--json", "--device", "cpu", *flags, env=env, prelude=SHOW_SESSION_OPTIONS)
    report = json.loads(p.stdout)
    assert p.returncode == 0 and f"session options: {options}" in p.stderr.splitlines()
    assert report["threads"] == {k: {"value": v, "from": f} for k, (v, f) in zip(("intra_op", "inter_op", "spin"), threads)}


def test_check_refuses_a_thread_setting(cli):
    p = cli("--check", "--threads", "3", env={"QUARN_ORT_SPIN": "off"})
    rows = dict(line.split(":", 1) for line in p.stdout.splitlines())
    assert p.returncode == 1 and rows["intra-op threads"].strip() == "3 (from --threads)"
    assert rows["idle threads"].strip() == "'off' (from QUARN_ORT_SPIN)"
    assert rows["status"].strip() == ("NOT READY: QUARN_ORT_SPIN must be 0 (idle worker threads sleep) or 1 (they "
                                      "busy-wait, ONNX Runtime's default), not 'off'")


def test_check_json(cli, weights):
    p = cli("--check", "--json", "--device", "cpu")
    report = json.loads(p.stdout)  # one object, nothing else on stdout
    assert p.returncode == 0 and report["ready"] is True and report["status"] == "ready: detection can run"
    assert (report["model_file"], report["provider"], report["contract"], report["untrained"]) == (
        str(weights / "detect" / "toy.onnx"), "CPUExecutionProvider", "ok", False)
    assert report["test_inference_ms"] > 0 and (report["names"]["source"], report["names"]["count"]) == ("the module (COCO80)", 80)
    missing = cli("--check", "--json", "--model", "absent.onnx")
    assert missing.returncode == 1 and json.loads(missing.stdout)["ready"] is False
    assert "To get one: quarn-detect-model fetch" in json.loads(missing.stdout)["status"]
    assert "to get one:" in cli("--check", "--model", "absent.onnx").stdout

import contextlib
import json
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

# toy model: one detection per RGB plane, score = that plane's maximum, box = fractions of (w, h, w, h)
TOY = [(0, (0.25, 0.25, 0.75, 0.75)), (2, (0.0625, 0.125, 0.1875, 0.375)), (16, (0.625, 0.0625, 0.9375, 0.1875))]
BGR = (50, 100, 230)  # person 230/255, car 100/255, dog 50/255 (below the default 0.25)


def build_toy(path):
    from onnx import TensorProto as T, helper as h, save

    io = h.make_tensor_value_info
    nodes = [h.make_node("ReduceMax", ["images"], ["scores"], axes=[2, 3], keepdims=0),
             h.make_node("Cast", ["orig_target_sizes"], ["wh"], to=T.FLOAT),
             h.make_node("Concat", ["wh", "wh"], ["whwh"], axis=1),
             h.make_node("Mul", ["whwh", "frac"], ["boxes"])]
    graph = h.make_graph(
        nodes, "toy", [io("images", T.FLOAT, [1, 3, 640, 640]), io("orig_target_sizes", T.INT64, [1, 2])],
        [io("labels", T.INT64, [1, 3]), io("boxes", T.FLOAT, [1, 3, 4]), io("scores", T.FLOAT, [1, 3])],
        [h.make_tensor("labels", T.INT64, [1, 3], [c for c, _ in TOY]),
         h.make_tensor("frac", T.FLOAT, [1, 3, 4], [f for _, box in TOY for f in box])])
    save(h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8), path)


@pytest.fixture(scope="module")
def weights(tmp_path_factory):
    root = tmp_path_factory.mktemp("weights")
    (root / "detect").mkdir()
    build_toy(root / "detect" / "toy.onnx")
    return root


@pytest.fixture
def cli(weights, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def run(*args, env=(), **kw):
        env = dict(os.environ, QUARN_WEIGHTS_DIR=str(weights), XDG_DATA_HOME=str(tmp_path / "xdg"), **dict(env))
        return subprocess.run([sys.executable, "-m", "quarn.inspection.detect", "--model", "toy.onnx", *args],
                              env=env, text=True, capture_output="stderr" not in kw, timeout=kw.pop("timeout", 60), **kw)
    return run


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
    assert p.returncode == 0 and p.stderr == ""
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
    assert lines[-1].startswith("1 image, 2 detections, 0 failed")


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
    (["--model", "./bad.onnx", "a.png"], 1, "cannot load model"),
])
def test_usage_and_model_errors(cli, args, status, words):
    image("a.png")
    Path("bad.onnx").write_bytes(b"not a model")
    p = cli(*args)
    assert (p.returncode, p.stdout) == (status, "")
    assert len(p.stderr.splitlines()) == 1 and words in p.stderr and "Traceback" not in p.stderr


@pytest.mark.parametrize("bad", ["notes.txt", "fake.png", "empty.jpg", "missing.png", "folder"])
def test_bad_input_does_not_stop_the_rest(cli, bad):
    image("ok.png")
    Path("folder").mkdir()
    for name, data in {"notes.txt": b"hello", "fake.png": b"\x89PNG garbage", "empty.jpg": b""}.items():
        Path(name).write_bytes(data)
    p = cli("--json", bad, "ok.png")
    assert p.returncode == 1 and [json.loads(line)["file"] for line in p.stdout.splitlines()] == ["ok.png"]
    assert [line.split(": ")[1] for line in p.stderr.splitlines()] == [bad]


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
    pty = pytest.importorskip("pty")  # without a terminal no bar is drawn: see test_json_lines' empty stderr
    image("a.png")
    image("b.png")
    reader, writer = pty.openpty()
    assert cli("-v", "a.png", "b.png", stderr=writer, stdout=subprocess.PIPE).returncode == 0
    os.close(writer)
    err = b""
    with contextlib.suppress(OSError):  # the reader gets EIO once the child side is closed
        while chunk := os.read(reader, 65536):
            err += chunk
    os.close(reader)
    timed = [line.split(": ", 1) for line in err.decode().replace("\x1b[K", "").splitlines() if "preprocess" in line]
    assert "2/2" in err.decode() and [name for name, _ in timed] == ["a.png", "b.png"]
    assert all(float(part.split()[1]) > 0 for _, t in timed for part in t.split(", ")[1:3])


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
    assert [line.split(": ")[1:3] for line in p.stderr.splitlines() if "not saved" in line] == [
        ["in/x.png", "not saved"], ["in/y.png", "not saved"]]


def test_save_keeps_every_output_of_the_run(cli):
    image("a/x.png", 64, 48)
    image("b/x.png", 80, 60)
    image("c/x.png", 96, 72)
    assert cli("a/x.png", "b/x.png", "c/x.png", "--save", "out").returncode == 0
    assert sorted((f.name, cv2.imread(str(f)).shape[1]) for f in Path("out").iterdir()) == [
        ("x-2.png", 80), ("x-3.png", 96), ("x.png", 64)]


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
    assert [json.loads(line)["file"] for line in p.stdout.splitlines()] == ["ok.png"]
    assert [line.split(": ")[1] for line in p.stderr.splitlines()] == [bad]

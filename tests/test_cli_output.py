"""What quarn-detect prints and writes: names that are not text, control characters, strict JSON."""

import json
import os
import subprocess
import sys
import textwrap

import cv2
import numpy as np
import pytest

INF, NAN = float("inf"), float("nan")


def constant_model(path, scores, meta=None):
    """A model whose records never depend on the image: labels 0, 1, 2, ..., the given scores, one box."""
    from onnx import TensorProto as T, helper as h, save

    n = len(scores)
    io = h.make_tensor_value_info
    graph = h.make_graph(
        [h.make_node("Identity", [f"c_{name}"], [name]) for name in ("labels", "boxes", "scores")], "constant",
        [io("images", T.FLOAT, [1, 3, 640, 640]), io("orig_target_sizes", T.INT64, [1, 2])],
        [io("labels", T.INT64, [1, n]), io("boxes", T.FLOAT, [1, n, 4]), io("scores", T.FLOAT, [1, n])],
        [h.make_tensor("c_labels", T.INT64, [1, n], range(n)),
         h.make_tensor("c_boxes", T.FLOAT, [1, n, 4], [1, 2, 30, 40] * n),
         h.make_tensor("c_scores", T.FLOAT, [1, n], scores)])
    model = h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8)
    if meta:
        h.set_model_props(model, meta)
    save(model, path)
    return path


def strict_json(line):
    """json.loads as a strict parser reads it: no NaN or Infinity, no lone surrogates."""
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    def text(value):
        if isinstance(value, str):
            value.encode("utf-8")  # a lone surrogate fails here
        for v in value.values() if isinstance(value, dict) else value if isinstance(value, list) else ():
            text(v)
    value = json.loads(line, parse_constant=refuse)
    text(value)
    return value


@pytest.fixture
def run(tmp_path, monkeypatch):
    """quarn-detect in a subprocess in tmp_path; ``prelude`` is Python run before its main (stand-ins)."""
    monkeypatch.chdir(tmp_path)

    def go(*args, env=(), prelude=None):
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONIOENCODING", "PYTHONUTF8")} | {
            "QUARN_WEIGHTS_DIR": str(tmp_path / "weights"), "XDG_DATA_HOME": str(tmp_path / "xdg"), **dict(env)}
        code = textwrap.dedent(prelude or "") + "\nimport sys\nfrom quarn.inspection.detect import cli\n" \
            "sys.exit(cli.main(sys.argv[1:]))\n"
        p = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, timeout=60)
        p.out, p.err = p.stdout.decode("utf-8", "surrogateescape"), p.stderr.decode("utf-8", "surrogateescape")
        return p
    return go


def test_names_split_at_newlines_only(run):
    constant_model("m.onnx", [0.9, 0.8, 0.7, 0.6])
    cv2.imwrite("a.png", np.zeros((8, 8, 3), np.uint8))
    # NEL, LINE SEPARATOR, "\r\r\n", form feed and vertical tab end no line; "\r\n" does
    with open("names.txt", "wb") as f:
        f.write("a\x85b\nc\u2028d\r\n e \r\r\nf\x0cg\x0bh\n".encode())
    p = run("--model", "./m.onnx", "--names", "names.txt", "--json", "a.png")
    assert p.returncode == 0, p.err
    assert [d["cls_name"] for d in strict_json(p.out)["detections"]] == ["a\x85b", "c\u2028d", "e", "f\x0cg\x0bh"]
    with open("cr.txt", "wb") as f:
        f.write(b"one\rtwo\rthree\n")  # classic Mac line ends would shift every class but the first
    p = run("--model", "./m.onnx", "--names", "cr.txt", "a.png")
    assert p.returncode == 2 and p.out == "" and len(p.err.splitlines()) == 1
    assert "--names: cr.txt: line 1 holds a carriage return" in p.err


@pytest.mark.parametrize("env", [{"PYTHONIOENCODING": "utf-8:strict"}, {"LC_ALL": "C.UTF-8"}])
def test_names_that_are_not_text(run, env):
    constant_model("m.onnx", [0.9, 0.8])
    with open("names.json", "w") as f:  # JSON's escapes carry what no UTF-8 text can: a lone surrogate
        json.dump(["\x1b]0;pwned\x07", "\ud800half"], f)
    # not UTF-8; a terminal escape; a newline; a video not UTF-8 (str names of those crash OpenCV's binding)
    names = [b"caf\xe9.png", b"esc\x1b[2J.png", b"two\nlines.png", b"vid\xff.avi"]
    os.mkdir(b"in")
    for name in names[:3]:
        with open(b"in/" + name, "wb") as f:
            f.write(cv2.imencode(".png", np.zeros((8, 8, 3), np.uint8))[1].tobytes())
    writer = cv2.VideoWriter(b"in/" + names[3], cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (64, 48))
    for _ in range(2):
        writer.write(np.zeros((48, 64, 3), np.uint8))
    writer.release()
    table = run("--model", "./m.onnx", "--names", "names.json", "--save", "out", "in", env=env)
    assert table.returncode == 0, table.err
    assert sorted(os.listdir(b"out")) == sorted(names)  # each annotated copy under its own name
    shown = ["in/caf\\xe9.png", "in/esc\\x1b[2J.png", "in/two\\x0alines.png", "in/vid\\xff.avi"]
    assert [line.split("  ")[0] for line in table.out.splitlines() if line.startswith("in/") and "  " in line] == shown
    assert "\\x1b]0;pwned\\x07" in table.out and "\\ud800half" in table.out
    records = [strict_json(line) for line in run("--model", "./m.onnx", "--names", "names.json", "--json", "in",
                                                 env=env).stdout.splitlines()]
    assert list(dict.fromkeys(r["file"] for r in records)) == \
        ["in/caf\\xe9.png", "in/esc\x1b[2J.png", "in/two\nlines.png", "in/vid\\xff.avi"]
    assert [d["cls_name"] for d in records[0]["detections"]] == ["\x1b]0;pwned\x07", "\\ud800half"]
    os.rename(b"in/caf\xe9.png", b"in/caf\xe9.bmp")  # an input that fails: its message is escaped too
    with open(b"in/caf\xe9.bmp", "wb") as f:
        f.write(b"\x1b[2J not an image")
    p = run("--model", "./m.onnx", "--json", os.fsdecode(b"in/caf\xe9.bmp"), os.fsdecode(b"in/esc\x1b[2J.png"), env=env)
    assert p.returncode == 1 and [r.get("error", "") != "" for r in map(strict_json, p.stdout.splitlines())] == [True, False]
    for text in (table.out, table.err, p.out, p.err):
        assert "\x1b" not in text and "\udce9" not in text


def test_json_is_strict(run):
    constant_model("m.onnx", [INF, 0.5, NAN, -INF])  # a broken model's scores
    cv2.imwrite("a.png", np.zeros((8, 8, 3), np.uint8))
    p = run("--model", "./m.onnx", "--json", "--conf", "0", "a.png")
    assert p.returncode == 0, p.err
    (record,) = map(strict_json, p.stdout.splitlines())
    assert [d["conf"] for d in record["detections"]] == [None, 0.5]  # the module drops NaN and -inf scores
    assert [line.split()[1] for line in run("--model", "./m.onnx", "--conf", "0", "a.png").out.splitlines()[2:]] == \
        ["inf", "0.50"]
    for model in ("./m.onnx", "./absent.onnx"):
        report = strict_json(run("--model", model, "--check", "--json").stdout)
        assert report["ready"] is (model == "./m.onnx")


@pytest.mark.parametrize("model, reason", [
    ("~quarn-no-such-user/m.onnx", "'~quarn-no-such-user' cannot be expanded: this system knows no user"),
    ("m.onnx", "QUARN_WEIGHTS_DIR entry '~quarn-no-such-user' ('~quarn-no-such-user' cannot be expanded")])
def test_check_on_a_home_that_cannot_be_expanded(run, model, reason):
    p = run("--model", model, "--check", env={"QUARN_WEIGHTS_DIR": "~quarn-no-such-user"})
    status = [line for line in p.out.splitlines() if line.startswith("status:")]
    assert p.returncode == 1 and "Traceback" not in p.err, p.err
    assert len(status) == 1 and "NOT READY" in status[0] and reason in status[0]


@pytest.mark.parametrize("how", ["stand-in", "mode 000"])
def test_check_says_permission_denied(run, tmp_path, how):
    if how == "mode 000" and os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode")
    model = constant_model(tmp_path / "m.onnx", [0.5])
    # ONNX Runtime's own words for a model file this user cannot read
    prelude = """
        import onnxruntime
        from onnxruntime.capi.onnxruntime_pybind11_state import Fail
        def refuse(path, *args, **kw):
            raise Fail(f"[ONNXRuntimeError] : 1 : FAIL : Load model from {path} failed:system error number 13")
        onnxruntime.InferenceSession = refuse
    """ if how == "stand-in" else None
    model.chmod(0)
    p = run("--model", "./m.onnx", "--check", prelude=prelude)
    (status,) = [line for line in p.out.splitlines() if line.startswith("status:")]
    assert p.returncode == 1 and f"permission denied: this user cannot read {model}" in status

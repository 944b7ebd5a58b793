import logging
import sys
from pathlib import Path

import numpy as np
import pytest

from helpers import IMPLEMENTATIONS, LOGGER, FakeWeights

# Behaviour: the extension and its Python reference alike.
pytestmark = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)

CPU, CUDA = "CPUExecutionProvider", "CUDAExecutionProvider"
NO_GPU = "CUDA requested but onnxruntime-gpu is not installed; running on CPU"
NAMES_IGNORED = ("Class names in %s ignored: metadata 'names' must be a non-empty JSON list of names or an object from "
                 "class id (0, 1, ...) to name, each id once; using the COCO80 names")
SPIN_RULE = "0 (idle worker threads sleep) or 1 (they busy-wait, ONNX Runtime's default)"


@pytest.mark.parametrize("device, offered, expected, probes, warned", [
    ("cpu", [CUDA, CPU], [CPU], 0, False),
    (None, [CUDA, CPU], [CUDA, CPU], 1, False),
    ("cuda", [CUDA, CPU], [CUDA, CPU], 1, False),
    ("CPU", [CUDA, CPU], [CUDA, CPU], 1, False),
    ("cuda", [CPU], [CPU], 1, True),
    (None, [CPU], [CPU], 1, False),
    ("auto", ["AzureExecutionProvider", CPU], [CPU], 1, False),
    ("CUDA", [CPU], [CPU], 1, False),
])
def test_providers(dr, fake_ort, caplog, device, offered, expected, probes, warned):
    ort = fake_ort(available=offered)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        first = dr._providers(device)
        assert first == expected and ort.probes == probes
        caplog.clear()
        second = dr._providers(device)
    assert second == expected and second is not first
    records = [(r.name, r.levelno, r.getMessage(), r.args) for r in caplog.records]
    assert records == ([(LOGGER, logging.WARNING, NO_GPU, ())] if warned else [])


@pytest.mark.parametrize("device", ["cpu", None])
def test_providers_imports_onnxruntime_each_call(dr, monkeypatch, device):
    monkeypatch.setitem(sys.modules, "onnxruntime", None)
    with pytest.raises(ImportError):
        dr._providers(device)


def test_missing_onnxruntime(dr, monkeypatch, fake_weights):
    w = fake_weights()
    monkeypatch.setitem(sys.modules, "onnxruntime", None)
    with pytest.raises(dr.DetectError) as ei:
        dr.DfineDetector()
    assert str(ei.value) == "onnxruntime is required. Reinstall: pip install quarn"
    assert isinstance(ei.value.__cause__, ImportError) and w.calls == []


class SubNotFound(FakeWeights.WeightsNotFound):
    pass


@pytest.mark.parametrize("exc, wrapped", [
    (FakeWeights.WeightsNotFound("Model 'x.onnx' for component 'detect' was not found."), True),
    (SubNotFound("not here"), True), (PermissionError("denied"), False), (FileNotFoundError("other"), False)])
def test_weights_errors(dr, fake_ort, fake_weights, exc, wrapped):
    ort = fake_ort()
    fake_weights(error=exc)
    with pytest.raises(dr.DetectError if wrapped else type(exc)) as ei:
        dr.DfineDetector("x.onnx")
    if wrapped:
        assert str(ei.value) == str(exc) and ei.value.__cause__ is exc
    else:
        assert ei.value is exc
    assert ort.sessions == []


def test_session_error_propagates(dr, fake_ort, fake_weights):
    ort = fake_ort()
    ort.error = RuntimeError("[ONNXRuntimeError] bad model")
    fake_weights()
    with pytest.raises(RuntimeError) as ei:
        dr.DfineDetector()
    assert ei.value is ort.error


@pytest.mark.parametrize("offered, device, active, provider, kind, mismatch", [
    ([CPU], None, [CPU], CPU, "cpu", False),
    ([CUDA, CPU], None, [CUDA, CPU], CUDA, "cuda", False),
    ([CUDA, CPU], "cuda", [CPU], CPU, "cpu", True),
    ([CUDA, CPU], None, ["TensorrtExecutionProvider", CUDA], "TensorrtExecutionProvider", "cuda", True),
    ([CPU], "cpu", [], CPU, "cpu", False),
    ([CPU], "cpu", ["DmlExecutionProvider"], "DmlExecutionProvider", "cpu", True),
    ([CUDA, CPU], (), [CUDA, CPU], CUDA, "cuda", False),  # () stands for the defaults
])
def test_construction(dr, fake_ort, fake_weights, caplog, offered, device, active, provider, kind, mismatch):
    ort = fake_ort(available=offered, active=active)
    path = Path("/models/detect/site.onnx")
    w = fake_weights(path=path)
    model = "dfine_m_coco.onnx" if device == () else Path("site.onnx")  # kept as given, not converted
    with caplog.at_level(logging.INFO, logger=LOGGER):
        det = dr.DfineDetector() if device == () else dr.DfineDetector(model, device)
    requested = [CUDA, CPU] if CUDA in offered and device != "cpu" else [CPU]
    assert w.calls == [("model_path", "detect", model)]
    (session,) = ort.sessions
    assert ort.calls == [(str(path), {"providers": requested})]  # nothing set: no session options at all
    assert list(vars(det)) == ["model", "session", "provider", "device", "names", "_image_dtype"]
    assert (det.model is model or device == ()) and det.model == model and det.session is session
    assert (det.provider, det.device) == (provider, kind)
    assert det.names == dict(enumerate(dr.COCO80)) and det._image_dtype is np.float32
    records = [(r.levelno, r.msg, r.args) for r in caplog.records if r.name == LOGGER]
    info = (logging.INFO, "D-FINE ONNX loaded: %s (%s)", ("site.onnx", provider))
    warn = (logging.WARNING, "%s requested but %s is in use \u2014 CUDA runtime (cuBLAS/cuDNN) may be missing",
            (requested[0], provider))
    assert records == ([warn, info] if mismatch else [info])


@pytest.mark.parametrize("tag, dtype", [("f32", np.float32), ("f16", np.float16)])
def test_real_session(dr, onnx_models, caplog, tag, dtype):
    path = getattr(onnx_models, tag)
    with caplog.at_level(logging.INFO, logger=LOGGER):
        det = dr.DfineDetector(str(path), "cpu")
    assert (det.provider, det.device, det._image_dtype) == (CPU, "cpu", dtype)
    assert det.session.get_providers()[0] == CPU
    assert [(r.levelname, r.args) for r in caplog.records if r.name == LOGGER] == [("INFO", (path.name, CPU))]


@pytest.mark.parametrize("declared, names", [
    ('["scratch", "dent", "stain"]', {0: "scratch", 1: "dent", 2: "stain"}),
    ('{"0": "scratch", "2": "dent", "007": "bond"}', {0: "scratch", 2: "dent", 7: "bond"}),
    (None, None),  # metadata, but no names in it
    # declarations that cannot be used
    ("scratch", None), ('"scratch"', None), ("null", None), ("[]", None), ("{}", None), ('["a", 1]', None),
    ('{"0": ["a"]}', None), ('{"-1": "a"}', None), ('{"+1": "a"}', None), ('{" 1": "a"}', None),
    ('{"1.0": "a"}', None), ('{"\\uff11": "a"}', None), ('{"1234567890123456789": "a"}', None),
    ('{"1": "a", "01": "b"}', None), ('{"1": "a", "1": "b"}', None), ("[" * 100_000, None),
])
def test_declared_names(dr, fake_ort, fake_weights, caplog, declared, names):
    fake_ort(metadata={} if declared is None else {"names": declared})
    fake_weights(path=Path("/models/detect/site.onnx"))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        det = dr.DfineDetector("site.onnx", "cpu")
    assert det.names == (names or dict(enumerate(dr.COCO80)))
    warned = [(r.levelno, r.msg, r.args) for r in caplog.records if r.name == LOGGER]
    assert warned == ([] if names or declared is None else [(logging.WARNING, NAMES_IGNORED, ("site.onnx",))])


@pytest.mark.parametrize("env, options", [
    ({"QUARN_ORT_THREADS": "1"}, (1, 0, {})),
    ({"QUARN_ORT_INTER_THREADS": "0002"}, (0, 2, {})),
    ({"QUARN_ORT_SPIN": "0"}, (0, 0, {"session.intra_op.allow_spinning": "0", "session.inter_op.allow_spinning": "0"})),
    ({"QUARN_ORT_SPIN": "1"}, (0, 0, {"session.intra_op.allow_spinning": "1", "session.inter_op.allow_spinning": "1"})),
    ({"QUARN_ORT_THREADS": "1024", "QUARN_ORT_INTER_THREADS": "3", "QUARN_ORT_SPIN": "0"},
     (1024, 3, {"session.intra_op.allow_spinning": "0", "session.inter_op.allow_spinning": "0"})),
    ({"QUARN_ORT_THREADS": "", "QUARN_ORT_SPIN": ""}, None),  # empty is not set
])
def test_thread_settings(dr, fake_ort, fake_weights, monkeypatch, env, options):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    ort = fake_ort()
    fake_weights()
    dr.DfineDetector(device="cpu")
    ((_, kw),) = ort.calls
    if options is None:
        assert kw == {"providers": [CPU]}
    else:
        given = kw.pop("sess_options")
        assert kw == {"providers": [CPU]} and type(given) is ort.SessionOptions
        assert (given.intra_op_num_threads, given.inter_op_num_threads, given.entries) == options


@pytest.mark.parametrize("name, value", [
    ("QUARN_ORT_THREADS", "0"), ("QUARN_ORT_THREADS", "1025"), ("QUARN_ORT_THREADS", "-1"), ("QUARN_ORT_THREADS", " 2"),
    ("QUARN_ORT_THREADS", "two"), ("QUARN_ORT_THREADS", "\uff12"), ("QUARN_ORT_THREADS", "00001"),
    ("QUARN_ORT_INTER_THREADS", "2.0"), ("QUARN_ORT_SPIN", "off"), ("QUARN_ORT_SPIN", "00"), ("QUARN_ORT_SPIN", "0 "),
])
def test_invalid_thread_settings(dr, fake_ort, fake_weights, monkeypatch, name, value):
    monkeypatch.setenv(name, value)
    monkeypatch.setenv(*(("QUARN_ORT_THREADS", "2") if name == "QUARN_ORT_SPIN" else ("QUARN_ORT_SPIN", "0")))  # valid
    ort = fake_ort()
    fake_weights()
    with pytest.raises(dr.DetectError) as ei:
        dr.DfineDetector()
    rule = SPIN_RULE if name == "QUARN_ORT_SPIN" else "a whole number from 1 to 1024"
    assert str(ei.value) == f"{name} must be {rule}, not {value!r}" and ei.value.__cause__ is None
    assert ort.calls == []


def test_real_session_with_declared_names_and_settings(dr, onnx_models, tmp_path, monkeypatch):
    import onnx

    model = onnx.load(onnx_models.f32)
    onnx.helper.set_model_props(model, {"names": '{"0": "scratch", "1": "dent", "2": "stain"}'})
    onnx.save(model, tmp_path / "site.onnx")
    monkeypatch.setenv("QUARN_ORT_THREADS", "1")
    monkeypatch.setenv("QUARN_ORT_SPIN", "0")
    det = dr.DfineDetector(str(tmp_path / "site.onnx"), "cpu")
    assert [d.cls_name for d in det.detect(np.zeros((8, 8, 3), np.uint8), conf=0)] == ["scratch", "dent", "stain"]
    options = det.session.get_session_options()
    assert options.intra_op_num_threads == 1
    assert [options.get_session_config_entry(f"session.{pool}.allow_spinning") for pool in ("intra_op", "inter_op")] == \
        ["0", "0"]

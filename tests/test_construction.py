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
    assert (session.path, session.providers) == (str(path), requested)
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

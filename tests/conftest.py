"""Fixtures only; the helpers the tests share live in helpers.py."""

import importlib
import sys
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, settings

from helpers import NAME, FakeOrt, FakeWeights, load_reference

# Property tests: a bounded run by default, many more with --hypothesis-profile=thorough.
settings.register_profile("ci", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("thorough", parent=settings.get_profile("ci"), max_examples=5000)
settings.load_profile("ci")


@pytest.fixture(scope="session")
def dr(request):
    """The extension module; a test module that sets
    `pytestmark = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)` runs on its Python reference too."""
    if getattr(request, "param", "native") == "reference":
        return load_reference()
    return importlib.import_module(NAME)


@pytest.fixture(autouse=True)
def fresh_cache(dr, monkeypatch):
    # every test sees an empty detector cache and leaves the real one alone
    monkeypatch.setattr(dr, "_CACHE", {})


@pytest.fixture(autouse=True)
def no_thread_settings(monkeypatch):
    # the detector reads these at construction; a test that wants one sets it
    for name in ("QUARN_ORT_THREADS", "QUARN_ORT_INTER_THREADS", "QUARN_ORT_SPIN"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def fake_ort(monkeypatch):
    def install(**kw):
        monkeypatch.setitem(sys.modules, "onnxruntime", FakeOrt(**kw))
        return sys.modules["onnxruntime"]
    return install


@pytest.fixture
def fake_weights(dr, monkeypatch):
    def install(**kw):
        monkeypatch.setattr(dr, "weights", FakeWeights(**kw))
        return dr.weights
    return install


@pytest.fixture(scope="session")
def onnx_models(tmp_path_factory):
    """Tiny stand-ins for the exported detector, float32 and float16 inputs.

    labels = [0, 1, 2]; scores = per-plane means of "images";
    every box = [0, 0, w, h] taken from "orig_target_sizes".
    """
    import onnx
    from onnx import TensorProto as T, helper as h

    root = tmp_path_factory.mktemp("weights")
    (root / "detect").mkdir()
    paths = {}
    for tag, elem in (("f32", T.FLOAT), ("f16", T.FLOAT16)):
        nodes = [
            h.make_node("ReduceMean", ["images"], ["m"], axes=[2, 3], keepdims=0),
            h.make_node("Cast", ["m"], ["scores"], to=T.FLOAT),
            h.make_node("Constant", [], ["labels"], value=h.make_tensor("l", T.INT64, [1, 3], [0, 1, 2])),
            h.make_node("Cast", ["orig_target_sizes"], ["wh"], to=T.FLOAT),
            h.make_node("Constant", [], ["zero"], value=h.make_tensor("z", T.FLOAT, [1, 2], [0, 0])),
            h.make_node("Concat", ["zero", "wh"], ["box"], axis=1),
            h.make_node("Unsqueeze", ["box", "ax"], ["box3"]),
            h.make_node("Expand", ["box3", "shape"], ["boxes"]),
        ]
        graph = h.make_graph(
            nodes, f"fake_dfine_{tag}",
            [h.make_tensor_value_info("images", elem, [1, 3, 640, 640]),
             h.make_tensor_value_info("orig_target_sizes", T.INT64, [1, 2])],
            [h.make_tensor_value_info("labels", T.INT64, [1, 3]),
             h.make_tensor_value_info("boxes", T.FLOAT, [1, 3, 4]),
             h.make_tensor_value_info("scores", T.FLOAT, [1, 3])],
            initializer=[h.make_tensor("ax", T.INT64, [1], [1]), h.make_tensor("shape", T.INT64, [3], [1, 3, 4])],
        )
        model = h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8)
        onnx.checker.check_model(model)
        paths[tag] = root / "detect" / f"fake_{tag}.onnx"
        onnx.save(model, paths[tag])
    return SimpleNamespace(root=root, **paths)


@pytest.fixture
def run_tool(capsys):
    """quarn-detect-model in this process: (exit status, stdout, stderr)."""
    from quarn.inspection.detect import model_tool

    def run(*args):
        status = model_tool.main([str(a) for a in args])
        out, err = capsys.readouterr()
        return SimpleNamespace(returncode=status, stdout=out, stderr=err)
    return run

import importlib
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# Property tests: a bounded run by default, many more with --hypothesis-profile=thorough.
settings.register_profile("ci", max_examples=150, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("thorough", parent=settings.get_profile("ci"), max_examples=5000)
settings.load_profile("ci")

NAME = "quarn.inspection.detect.dfine_runner"
LOGGER = "quarn.detect.dfine"


@pytest.fixture(scope="session")
def dr():
    return importlib.import_module(NAME)


@pytest.fixture(autouse=True)
def fresh_cache(dr, monkeypatch):
    # every test sees an empty detector cache and leaves the real one alone
    monkeypatch.setattr(dr, "_CACHE", {})


def run_py(code):
    """Run code in a fresh interpreter; return (returncode, stdout + stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=Path(__file__).parent, timeout=120)
    return proc.returncode, proc.stdout + proc.stderr


class Forward:
    """Forwards attribute reads to a module; bound in its place, it turns the fused native path off."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


class FakeSession:
    def __init__(self, path=None, providers=None, active=("CPUExecutionProvider",), input_type="tensor(float)",
                 outputs=None, error=None):
        self.path, self.providers, self.active, self.runs = path, providers, list(active), []
        self.input_type, self.outputs, self.error = input_type, outputs, error

    def get_providers(self):
        return list(self.active)

    def get_inputs(self):
        return [SimpleNamespace(name="images", type=self.input_type)]

    def run(self, names, feed):
        self.runs.append((names, feed))
        if self.error is not None:
            raise self.error
        return self.outputs


class FakeOrt:
    """Stand-in for the onnxruntime module that records what is asked of it."""

    def __init__(self, available=("CPUExecutionProvider",), **session_kw):
        self.available, self.session_kw, self.probes, self.sessions, self.error = list(available), session_kw, 0, [], None

    def get_available_providers(self):
        self.probes += 1
        return list(self.available)

    def InferenceSession(self, path, **kw):
        if self.error is not None:
            raise self.error
        self.sessions.append(FakeSession(path, **kw, **self.session_kw))
        return self.sessions[-1]


@pytest.fixture
def fake_ort(monkeypatch):
    def install(**kw):
        monkeypatch.setitem(sys.modules, "onnxruntime", FakeOrt(**kw))
        return sys.modules["onnxruntime"]
    return install


class FakeWeights:
    class WeightsNotFound(FileNotFoundError):
        pass

    def __init__(self, path=Path("/models/detect/m.onnx"), error=None, answer=True):
        self.path, self.error, self.answer, self.calls = path, error, answer, []

    def model_path(self, component, name):
        self.calls.append(("model_path", component, name))
        if self.error is not None:
            raise self.error
        return self.path

    def available(self, component, name):
        self.calls.append(("available", component, name))
        return self.answer


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


def reference_preprocess(image):
    """Independent computation of the network inputs with the libraries themselves."""
    import cv2
    from PIL import Image

    h, w = image.shape[:2]
    rgb = cv2.cvtColor(image, cv2.COLOR_BGR2RGB if image.ndim == 3 else cv2.COLOR_GRAY2RGB)
    small = Image.fromarray(rgb).resize((640, 640), Image.BILINEAR)
    x = (np.asarray(small, dtype=np.float32) / 255.0).transpose(2, 0, 1)[None]
    return np.ascontiguousarray(x), np.array([[w, h]], dtype=np.int64)

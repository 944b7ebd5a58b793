"""Helpers shared by the tests and the benchmarks; conftest.py holds only fixtures.

Nothing here imports pytest or hypothesis, so a benchmark can use it too.
"""

import contextlib
import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import numpy as np

NAME = "quarn.inspection.detect.dfine_runner"
LOGGER = "quarn.detect.dfine"

# The module's plain Python version, which the extension is held to; imported under its own name.
REFERENCE = Path(__file__).parent / "reference" / "dfine_runner.py"
REFERENCE_NAME = "quarn_reference_dfine_runner"
IMPLEMENTATIONS = ("native", "reference")


def load_reference():
    """The Python reference module, executed once per process."""
    if REFERENCE_NAME not in sys.modules:
        spec = importlib.util.spec_from_file_location(REFERENCE_NAME, REFERENCE)
        module = importlib.util.module_from_spec(spec)
        sys.modules[REFERENCE_NAME] = module  # as an import would: dataclass looks the module up
        try:
            spec.loader.exec_module(module)
        except BaseException:
            del sys.modules[REFERENCE_NAME]
            raise
    return sys.modules[REFERENCE_NAME]


def as_compiled(text):
    """`text` with the interpreter's wording of a failed unpack replaced by the extension's, which words it
    as compiled modules do."""
    def worded(match):
        got = int(match.group(1))
        return f"need more than {got} value{'' if got == 1 else 's'} to unpack"
    text = re.sub(r"not enough values to unpack \(expected \d+, got (\d+)\)", worded, text)
    return re.sub(r"cannot unpack non-iterable (\S+) object", r"'\1' object is not iterable", text)


def run_py(code):
    """Run code in a fresh interpreter; return (returncode, stdout + stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=Path(__file__).parent, timeout=120)
    return proc.returncode, proc.stdout + proc.stderr


# --- the fused native path against the library calls it stands in for --------------------------------

def watched_names():
    """The library attributes the fused path watches, as the extension's table lists them: (owner, name) pairs."""
    import cv2
    from PIL import Image

    (source,) = sorted((Path(__file__).resolve().parents[1] / "src").rglob("dfine_runner.cpp"))
    table = re.search(r"kWatchedNames\[\] = \{(.*?)\n\};", source.read_text(), re.S).group(1)
    owners = {"cv2": cv2, "image": Image, "image_class": Image.Image, "np": np}
    return [(owners[owner], name) for owner, name in re.findall(r'\{Owner::(\w+), "(\w+)"', table)]


class Forward:
    """Forwards attribute reads to a module; bound in its place, it turns the fused native path off."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


@contextlib.contextmanager
def library_path(dr):
    """Within the block the module's `cv2` is a forwarding object, so every call takes the library path."""
    cv2 = dr.cv2
    dr.cv2 = Forward(cv2)
    try:
        yield
    finally:
        dr.cv2 = cv2


def outcome(call):
    """What call() gives: its result, or the type of its exception and the message's first line."""
    try:
        return call()
    except Exception as exc:
        assert not isinstance(exc, SystemError), exc  # a native error path that forgot to set an exception
        return type(exc), str(exc).splitlines()[0] if str(exc) else ""


def library_outcome(dr, call):
    """The outcome of call() with the library path forced."""
    with library_path(dr):
        return outcome(call)


def fused_and_library(dr, call):
    """The outcome of call() as it stands, then with the library path forced."""
    return outcome(call), library_outcome(dr, call)


def is_error(result):
    return isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], type)


def assert_same_outcome(got, want):
    """The same exception, or arrays alike in type, dtype, shape, memory order and every value."""
    if is_error(want):
        assert got == want
        return
    assert type(got) is type(want) and len(got) == len(want)
    for a, b in zip(got, want):
        assert type(a) is type(b) and a.dtype == b.dtype and a.shape == b.shape
        assert a.flags.c_contiguous == b.flags.c_contiguous and np.array_equal(a, b)


def reference_preprocess(image):
    """Independent computation of the network inputs with the libraries themselves."""
    import cv2
    from PIL import Image

    h, w = image.shape[:2]
    rgb = cv2.cvtColor(image, cv2.COLOR_BGR2RGB if image.ndim == 3 else cv2.COLOR_GRAY2RGB)
    small = Image.fromarray(rgb).resize((640, 640), Image.BILINEAR)
    x = (np.asarray(small, dtype=np.float32) / 255.0).transpose(2, 0, 1)[None]
    return np.ascontiguousarray(x), np.array([[w, h]], dtype=np.int64)


# --- stand-ins for onnxruntime and quarn.weights ---------------------------------------------------

class FakeSession:
    """A session; with `metadata` (the model's metadata entries) it also offers get_modelmeta, as ONNX Runtime's does."""

    def __init__(self, path=None, providers=None, active=("CPUExecutionProvider",), input_type="tensor(float)",
                 outputs=None, error=None, sess_options=None, metadata=None):
        self.path, self.providers, self.active, self.runs = path, providers, list(active), []
        self.input_type, self.outputs, self.error, self.sess_options = input_type, outputs, error, sess_options
        if metadata is not None:
            self.get_modelmeta = lambda: SimpleNamespace(custom_metadata_map=dict(metadata))

    def get_providers(self):
        return list(self.active)

    def get_inputs(self):
        return [SimpleNamespace(name="images", type=self.input_type)]

    def run(self, names, feed):
        self.runs.append((names, feed))
        if self.error is not None:
            raise self.error
        return self.outputs


class FeedRecorder:
    """A session that keeps the image tensor it was fed and finds nothing."""

    def run(self, names, feed):
        self.images = feed["images"]
        return [np.zeros((1, 0), np.int64), np.zeros((1, 0, 4), np.float32), np.zeros((1, 0), np.float32)]


def bare_detector(dr, image_dtype):
    """A DfineDetector with no model behind it: a FeedRecorder as its session."""
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    det.session, det.names, det._image_dtype = FeedRecorder(), {}, image_dtype
    return det


def fed_to_half_model(dr, x):
    """What detect feeds a float16 model when preprocessing gives x."""
    det = bare_detector(dr, np.float16)
    det._preprocess = lambda image: (x, np.array([[1, 1]], np.int64))
    det.detect(np.zeros((2, 2, 3), np.uint8))
    return det.session.images


class FakeSessionOptions:
    """Stand-in for onnxruntime.SessionOptions: the thread counts (0: ONNX Runtime's default) and config entries."""

    def __init__(self):
        self.intra_op_num_threads = self.inter_op_num_threads = 0
        self.entries = {}

    def add_session_config_entry(self, key, value):
        self.entries[key] = value


class FakeOrt:
    """Stand-in for the onnxruntime module that records what is asked of it: `calls` holds each session's
    (path, keyword arguments)."""

    SessionOptions = FakeSessionOptions

    def __init__(self, available=("CPUExecutionProvider",), **session_kw):
        self.available, self.session_kw, self.probes, self.sessions, self.error = list(available), session_kw, 0, [], None
        self.calls = []

    def get_available_providers(self):
        self.probes += 1
        return list(self.available)

    def InferenceSession(self, path, **kw):
        self.calls.append((path, kw))
        if self.error is not None:
            raise self.error
        self.sessions.append(FakeSession(path, **kw, **self.session_kw))
        return self.sessions[-1]


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


# --- stand-in detectors whose detections are known, for scoring and comparing ----------------------

def build_known(path, labels, boxes, weights, bias, half=False, names=None):
    """A detector of N detections: label k is labels[k]; box k is boxes[k] (fractions x1 y1 x2 y2) times the image's
    (w, h, w, h); score k is the image's RGB plane means (0..1) @ weights[:, k] + bias[k].  ``half``: float16 images,
    their means taken in float16.  ``names`` go into the metadata."""
    import json

    from onnx import TensorProto as T, helper as h, save

    n = len(labels)
    io = h.make_tensor_value_info
    nodes = [h.make_node("ReduceMean", ["images"], ["m"], axes=[2, 3], keepdims=0),
             h.make_node("Cast", ["m"], ["mf"], to=T.FLOAT),
             h.make_node("MatMul", ["mf", "w"], ["mw"]),
             h.make_node("Add", ["mw", "b"], ["scores"]),
             h.make_node("Cast", ["orig_target_sizes"], ["wh"], to=T.FLOAT),
             h.make_node("Concat", ["wh", "wh"], ["whwh"], axis=1),
             h.make_node("Mul", ["whwh", "frac"], ["boxes"])]
    graph = h.make_graph(
        nodes, "known", [io("images", T.FLOAT16 if half else T.FLOAT, [1, 3, 640, 640]), io("orig_target_sizes", T.INT64, [1, 2])],
        [io("labels", T.INT64, [1, n]), io("boxes", T.FLOAT, [1, n, 4]), io("scores", T.FLOAT, [1, n])],
        [h.make_tensor("labels", T.INT64, [1, n], list(labels)),
         h.make_tensor("frac", T.FLOAT, [1, n, 4], np.asarray(boxes, np.float32).ravel()),
         h.make_tensor("w", T.FLOAT, [3, n], np.asarray(weights, np.float32).ravel()),
         h.make_tensor("b", T.FLOAT, [1, n], np.asarray(bias, np.float32).ravel())])
    model = h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8)
    if names is not None:
        h.set_model_props(model, {"names": json.dumps(names)})
    save(model, path)
    return path


def known_boxes(boxes, w, h):
    """What build_known's model gives for a w x h image: the corners as detect truncates them."""
    scale = np.array([w, h, w, h], np.float32)
    return [[int(v) for v in np.asarray(box, np.float32) * scale] for box in boxes]


def crash_on_marked_files():
    """A Ray worker set-up hook: reading an image named crash-always* kills the worker every time, crash-once* the
    first time only (a marker file beside it remembers), like a native crash would."""
    import os

    from quarn.inspection.detect.cli import sources

    read = sources.read_image

    def reading(path):
        name = Path(path).name
        if name.startswith("crash-always"):
            os._exit(70)
        if name.startswith("crash-once"):
            marker = Path(path).with_name(name + ".crashed")
            if not marker.exists():
                marker.touch()
                os._exit(70)
        return read(path)

    sources.read_image = reading


def thread_setting_reporter():
    """A Ray worker's work that answers each task with the QUARN_ORT_THREADS its detector would be loaded with."""
    import os

    return lambda task: os.environ.get("QUARN_ORT_THREADS")

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


# --- class names a model declares ---------------------------------------------------------------------

def module_uses_declared_names():
    """Whether the extension builds a detector's ``names`` from the model's ``names`` metadata (a probe on a
    three-class stand-in): the tests of names travelling with a model need it."""
    import tempfile

    try:
        from onnx import TensorProto as T, helper as h, save
    except ImportError:  # no stand-in can be built: the tests that need one skip
        return False

    from quarn.inspection.detect import dfine_runner as dr

    io = h.make_tensor_value_info
    graph = h.make_graph(
        [h.make_node("Identity", [f"c_{n}"], [n]) for n in ("labels", "boxes", "scores")], "declared",
        [io("images", T.FLOAT, [1, 3, 640, 640]), io("orig_target_sizes", T.INT64, [1, 2])],
        [io("labels", T.INT64, [1, 1]), io("boxes", T.FLOAT, [1, 1, 4]), io("scores", T.FLOAT, [1, 1])],
        [h.make_tensor("c_labels", T.INT64, [1, 1], [0]), h.make_tensor("c_boxes", T.FLOAT, [1, 1, 4], [0, 0, 1, 1]),
         h.make_tensor("c_scores", T.FLOAT, [1, 1], [1.0])])
    model = h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8)
    h.set_model_props(model, {"names": '["a", "b", "c"]'})
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "declared.onnx"
        save(model, path)
        return dr.DfineDetector(str(path), "cpu").names == {0: "a", 1: "b", 2: "c"}

"""The extension against its Python reference (tests/reference/dfine_runner.py).

The same call on both ends the same way: the same result, or the same
exception (type, message, cause and context, traceback entries by function
and line), with the same log records and the same calls to its collaborators.
The reference's statements sit on the lines the extension's tracebacks name,
which an AST test checks line by line.
"""

import ast
import dataclasses
import hashlib
import inspect
import logging
import re
import sys
from functools import partial, reduce
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from helpers import LOGGER, NAME, REFERENCE, FakeOrt, FakeSession, FakeWeights, as_compiled, load_reference

CPU, CUDA = "CPUExecutionProvider", "CUDAExecutionProvider"
IMG = np.full((24, 32, 3), 50, np.uint8)
OUTS = [np.array([[62, 0, 80, 1]], np.int64),
        np.array([[[12.9, -0.7, 640.99, 480.5], [1, 2, 3, 4], [-3.5, 0, 7.99, 8.01], [0, 0, 1, 1]]], np.float32),
        np.array([[0.9, 0.25, 0.5, 0.2499]], np.float32)]
QUALNAMES = ["is_available", "_providers", "DfineDetector.__init__", "DfineDetector._preprocess",
             "DfineDetector.detect", "get_detector", "available", "_declared_names", "_session_options"]


@pytest.fixture(scope="module")
def ref():
    return load_reference()


# --- one scenario, run on one implementation -------------------------------------------------------

class Env:
    """What a scenario sets up on one implementation: fakes, globals, the objects it names, what it watches."""

    def __init__(self, m, monkeypatch):
        self.m, self.mp, self.labels, self.kept, self.watched, self.trace = m, monkeypatch, {}, [], [], []

    def named(self, label, obj):
        """obj, reported by label wherever it turns up (result, exception, cause)."""
        self.labels[id(obj)] = label
        self.kept.append(obj)  # alive, so that its id names nothing else
        return obj

    def set(self, name, value):
        vars(self.m)[name] = value  # the namespace is restored as it was after the run

    def delete(self, name):
        del vars(self.m)[name]

    def ort(self, **kw):
        ort = FakeOrt(**kw)
        self.mp.setitem(sys.modules, "onnxruntime", ort)
        self.watched.append(lambda: (ort.probes, [(path, {k: vars(v) if k == "sess_options" else v for k, v in kw.items()})
                                                  for path, kw in ort.calls]))
        return ort

    def weights(self, **kw):
        w = FakeWeights(**kw)
        self.set("weights", w)
        self.watched.append(lambda: w.calls)
        return w

    def detector(self, replace=None, **session_kw):
        """A DfineDetector with a FakeSession(**session_kw) and no model; `replace` sets attributes (None: deletes)."""
        det = self.m.DfineDetector.__new__(self.m.DfineDetector)
        det.session = session = FakeSession(**{"outputs": OUTS, **session_kw})
        det.names, det._image_dtype = dict(enumerate(self.m.COCO80)), np.float32
        for name, value in (replace or {}).items():
            delattr(det, name) if value is None else setattr(det, name, value)
        self.watched.append(lambda: len(session.runs))
        return det


def run(m, scenario):
    """Runs the scenario on module m; returns everything observable about it."""
    namespace = vars(m)
    saved = dict(namespace)
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger(LOGGER)
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.MonkeyPatch.context() as mp:
            env = Env(m, mp)
            env.set("_CACHE", {})
            call = scenario(env)
            try:
                result, error = call(), None
            except BaseException as exc:  # KeyboardInterrupt included: it must pass through unchanged
                result, error = None, exc
            got = {"watched": [norm(w(), env, saved) for w in env.watched] + [norm(list(env.trace), env, saved)]}
            if error is None:
                got["returned"] = norm(result, env, saved)
            else:
                got["raised"] = describe(error, env, saved)
            got["log"] = [(r.levelno, r.msg, norm(r.args, env, saved)) for r in records]
            got["cache"] = norm(list(namespace.get("_CACHE") or ()), env, saved)
            got["locked"] = saved["_LOCK"].locked()
            return got
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
        namespace.clear()
        namespace.update(saved)


def norm(value, env, saved):
    """A comparable picture of value: named objects by name, records and detectors by their fields."""
    def pic(v):
        if id(v) in env.labels:
            return env.labels[id(v)]
        if v is None or type(v) in (bool, int, str):
            return v
        if type(v) is float:
            return ("float", repr(v))
        if type(v) in (list, tuple):
            return (type(v).__name__, [pic(x) for x in v])
        if type(v) is dict:
            return ("dict", [(pic(k), pic(x)) for k, x in v.items()])
        if isinstance(v, np.ndarray):
            return ("ndarray", v.dtype.str, v.shape, v.flags.c_contiguous, hashlib.sha1(v.tobytes()).hexdigest())
        if isinstance(v, type):
            return ("class", v.__qualname__)
        if type(v) is saved["Detection"]:
            return ("Detection", [pic(getattr(v, f.name)) for f in dataclasses.fields(v)])
        if isinstance(v, saved["DfineDetector"]):
            return (type(v).__qualname__, [(k, pic(x)) for k, x in vars(v).items()])
        return ("object", type(v).__qualname__)
    return pic(value)


def frames(exc, module_file):
    """Traceback entries as 'file:function:line'; the module's own entries as 'module:<qualname>:line'."""
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == module_file:  # the extension names its entries "<module name>.<qualname>"
            out.append(f"module:{code.co_qualname.removeprefix(NAME + '.')}:{tb.tb_lineno}")
        else:
            out.append(f"{Path(code.co_filename).name}:{code.co_qualname}:{tb.tb_lineno}")
        tb = tb.tb_next
    return out


def describe(exc, env, saved, depth=0):
    if exc is None or depth > 5:
        return None
    kind = type(exc)
    try:
        text = as_compiled(str(exc))
    except Exception as err:
        text = f"str() failed: {type(err).__name__}"
    context = exc.__context__
    return {
        "type": "DetectError" if kind is saved["DetectError"] else f"{kind.__module__}.{kind.__qualname__}",
        "message": text,
        "args": len(exc.args),
        "name": env.labels.get(id(exc)),
        "frames": frames(exc, saved["available"].__code__.co_filename),
        "cause": describe(exc.__cause__, env, saved, depth + 1),
        "context": "the cause" if context is not None and context is exc.__cause__ else
                   describe(context, env, saved, depth + 1),
        "suppress_context": exc.__suppress_context__,
    }


# --- scenarios: each builds its fakes on one implementation and returns the call -------------------

def then(*steps):
    """The last of steps: a scenario's set-up calls, then the call it makes."""
    return steps[-1]


class Lock:
    """A stand-in for _LOCK that records its calls; its __exit__ raises, or answers."""

    def __init__(self, env, exit_answer=None, exit_error=None):
        self.env, self.answer, self.error = env, exit_answer, exit_error

    def __enter__(self):
        self.env.trace.append("enter")

    def __exit__(self, *exc_info):
        self.env.trace.append(("exit", exc_info[0]))
        if self.error is not None:
            raise self.env.named("exit error", self.error)
        return self.answer


def failing_construction(env):
    def construct(model, device):
        raise env.named("load error", OSError("cannot load"))
    env.set("DfineDetector", construct)
    return env.m.get_detector


# Calls with the fakes they need, for the scenarios that then take a collaborator away.
CALLS = {
    "available": lambda env: then(env.weights(), env.m.available),
    "providers": lambda env: then(env.ort(), partial(env.m._providers, "cuda")),
    "construct": lambda env: then(env.ort(), env.weights(), partial(env.m.DfineDetector, "m.onnx", "cuda")),
    "not found": lambda env: then(env.ort(), env.weights(error=FakeWeights.WeightsNotFound("gone")),
                                  partial(env.m.DfineDetector, "m.onnx")),
    "preprocess": lambda env: partial(env.detector()._preprocess, IMG),
    "detect": lambda env: partial(env.detector().detect, IMG),
    "bad input": lambda env: partial(env.detector().detect, None),
    "get_detector": lambda env: then(env.set("DfineDetector", lambda model, device: env.named("detector", object())),
                                     env.m.get_detector),
    "settings": lambda env: then(env.mp.setenv("QUARN_ORT_SPIN", "2"), env.ort(), env.weights(), env.m.DfineDetector),
}
# The collaborators each call looks up: deleted, or rebound to None (no attributes at all).
COLLABORATORS = {
    "available": ["is_available", "weights", "_MODULE"], "providers": ["logger"],
    "construct": ["weights", "_MODULE", "_providers", "logger", "COCO80", "np", "_session_options", "_declared_names"],
    "not found": ["DetectError"], "settings": ["DetectError"],
    "preprocess": ["cv2", "Image", "_INPUT_SIZE", "np"], "detect": ["np", "Detection"], "bad input": ["DetectError"],
    "get_detector": ["_LOCK", "_CACHE", "DfineDetector"],
}
SCENARIOS = {}
for _call, _names in COLLABORATORS.items():
    for _name in _names:
        SCENARIOS[f"{_call} without {_name}"] = lambda env, c=CALLS[_call], n=_name: then(made := c(env), env.delete(n), made)
        SCENARIOS[f"{_call} with {_name} None"] = lambda env, c=CALLS[_call], n=_name: then(made := c(env), env.set(n, None), made)

SCENARIOS.update({
    "construction with fallback": lambda env: then(env.ort(available=[CUDA, CPU], active=[CPU]),
                                                   env.weights(path=Path("/models/detect/site.onnx")),
                                                   partial(env.m.DfineDetector, Path("site.onnx"), "cuda")),
    "nothing in use, half model": lambda env: then(env.ort(active=[], input_type="tensor(float16)"), env.weights(),
                                                   env.m.DfineDetector),
    "onnxruntime missing": lambda env: then(env.weights(), env.mp.setitem(sys.modules, "onnxruntime", None), env.m.DfineDetector),
    "onnxruntime missing, providers": lambda env: then(env.mp.setitem(sys.modules, "onnxruntime", None),
                                                       partial(env.m._providers, None)),
    "available providers fail": lambda env: then(setattr(env.ort(), "get_available_providers", lambda: 1 / 0),
                                                 partial(env.m._providers, "cuda")),
    "weights not found": lambda env: then(env.ort(), env.weights(error=env.named("not found", FakeWeights.WeightsNotFound("x"))),
                                          partial(env.m.DfineDetector, "x.onnx")),
    "weights fail otherwise": lambda env: then(env.ort(), env.weights(error=env.named("denied", PermissionError("denied"))),
                                               env.m.DfineDetector),
    "weights without its exception class": lambda env: then(env.ort(), env.set("weights", SimpleNamespace(model_path=lambda k, m: 1 / 0)),
                                                            env.m.DfineDetector),
    "session creation fails": lambda env: then(setattr(env.ort(), "error", env.named("ort error", RuntimeError("INVALID_PROTOBUF"))),
                                               env.weights(), env.m.DfineDetector),
    "logger without info": lambda env: then(env.set("logger", SimpleNamespace(warning=lambda *args: env.trace.append(args))),
                                            env.ort(active=["DmlExecutionProvider"]), env.weights(), env.m.DfineDetector),
    "DetectError not an exception": lambda env: then(env.set("DetectError", str), CALLS["bad input"](env)),
    "DetectError a factory of classes": lambda env: then(env.set("DetectError", lambda message: LookupError), CALLS["not found"](env)),
    "DetectError a factory of instances": lambda env: then(
        env.set("DetectError", lambda message: env.named("made", KeyError(message))),
        partial(env.detector(error=env.named("run error", RuntimeError("boom"))).detect, IMG)),
    "zero-dimensional input": lambda env: partial(env.detector().detect, np.zeros((), np.uint8)),
    "run raises": lambda env: partial(env.detector(error=env.named("run error", RuntimeError("[ONNXRuntimeError]"))).detect, IMG),
    "run interrupted": lambda env: partial(env.detector(error=env.named("interrupt", KeyboardInterrupt())).detect, IMG),
    "four outputs": lambda env: partial(env.detector(outputs=[np.zeros((1, 0))] * 4).detect, IMG),
    "two outputs": lambda env: partial(env.detector(outputs=(np.zeros((1, 0)),) * 2).detect, IMG),
    "one output, from an iterator": lambda env: partial(env.detector(outputs=iter([np.zeros((1, 0))])).detect, IMG),
    "outputs not iterable": lambda env: partial(env.detector(outputs=None).detect, IMG),
    "conf None": lambda env: partial(env.detector().detect, IMG, None),
    "NaN coordinate": lambda env: partial(env.detector(outputs=[OUTS[0], OUTS[1] * [1, 1, 1, np.nan], OUTS[2]]).detect, IMG),
    "box of three": lambda env: partial(env.detector(outputs=[OUTS[0], OUTS[1][..., :3], OUTS[2]]).detect, IMG),
    "no session": lambda env: partial(env.detector(replace={"session": None}).detect, IMG),
    "preprocess gives three": lambda env: partial(env.detector(replace={"_preprocess": lambda image: (1, 2, 3)}).detect, IMG),
    "cast fails": lambda env: partial(env.detector(replace={"_image_dtype": "no such type"}).detect, IMG),
    "names missing": lambda env: partial(env.detector(replace={"names": 0}).detect, IMG),
    "Detection rebound": lambda env: then(env.set("Detection", lambda **fields: env.trace.append(sorted(fields)) or fields["cls_id"]),
                                          CALLS["detect"](env)),
    "construction fails under the lock": failing_construction,
    "lock exit raises": lambda env: then(env.set("_LOCK", Lock(env, exit_error=ValueError("exit"))), CALLS["get_detector"](env)),
    "lock exit raises after a failure": lambda env: then(env.set("_LOCK", Lock(env, exit_error=ValueError("exit"))),
                                                         failing_construction(env)),
    "lock exit suppresses": lambda env: then(env.set("_LOCK", Lock(env, exit_answer=1)), failing_construction(env)),
    "lock exit passes on": lambda env: then(env.set("_LOCK", Lock(env, exit_answer=0)), failing_construction(env)),
    "lock not a context manager": lambda env: then(env.set("_LOCK", object()), env.m.get_detector),
    "probes": lambda env: then(env.weights(answer="yes"), lambda: [env.m.is_available("site.onnx"), env.m.available()]),
    "probe fails": lambda env: then(env.set("weights", SimpleNamespace(available=lambda key, model: 1 / 0)), env.m.available),
    "declared names": lambda env: then(env.ort(metadata={"names": '{"0": "scratch", "07": "dent"}'}), env.weights(),
                                       env.m.DfineDetector),
    "declared names unusable": lambda env: then(env.ort(metadata={"names": '{"1": "a", "01": "b"}'}), env.weights(),
                                                env.m.DfineDetector),
    "declared names too deep": lambda env: then(env.ort(metadata={"names": "[" * 100_000}), env.weights(), env.m.DfineDetector),
    "declared names not text": lambda env: then(env.ort(metadata={"names": 7}), env.weights(), env.m.DfineDetector),
    "metadata unreadable": lambda env: then(env.ort(metadata=5), env.weights(), env.m.DfineDetector),
    "names rebound": lambda env: then(env.set("_declared_names", lambda session, name: {5: name}), env.ort(), env.weights(),
                                      env.m.DfineDetector),
    "all settings": lambda env: then(*(env.mp.setenv(k, v) for k, v in (("QUARN_ORT_THREADS", "8"), ("QUARN_ORT_INTER_THREADS", "2"),
                                                                        ("QUARN_ORT_SPIN", "0"))), env.ort(), env.weights(),
                                     env.m.DfineDetector),
    "thread count refused": lambda env: then(env.mp.setenv("QUARN_ORT_INTER_THREADS", "1025"), env.ort(), env.weights(),
                                             env.m.DfineDetector),
    "no SessionOptions": lambda env: then(env.mp.setenv("QUARN_ORT_THREADS", "1"), setattr(env.ort(), "SessionOptions", None),
                                          env.weights(), env.m.DfineDetector),
    "options not a mapping": lambda env: then(env.set("_session_options", lambda ort: 3), env.ort(), env.weights(),
                                              env.m.DfineDetector),
    "options repeat providers": lambda env: then(env.set("_session_options", lambda ort: {"providers": 1}), env.ort(),
                                                 env.weights(), env.m.DfineDetector),
})


def scenario(fn):
    """The scenarios that need a class of their own."""
    SCENARIOS[fn.__name__.replace("_", " ")] = fn
    return fn


def long_text(length):
    """Digits that say they are `length` characters long: past 32 bits, a length must stay a whole number."""
    return type("Long", (str,), {"__len__": lambda self: length})


@scenario
def settings_longer_than_32_bits(env):
    import os
    env.mp.setattr(os, "environ", {"QUARN_ORT_THREADS": long_text(2**31)("5"),
                                   "QUARN_ORT_INTER_THREADS": long_text(2**32 + 1)("2")})
    return then(env.ort(), env.weights(), env.m.DfineDetector)


@scenario
def names_longer_than_32_bits(env):
    import json
    env.mp.setattr(json, "loads", lambda text, **kw: ((long_text(2**32 + 1)("1"), "a"), (long_text(2**31)("2"), "b")))
    return then(env.ort(metadata={"names": "[]"}), env.weights(), env.m.DfineDetector)


@scenario
def onnxruntime_import_fails_otherwise(env):
    class Broken:
        def find_spec(self, name, path=None, target=None):
            if name == "onnxruntime":
                raise env.named("broken", ZeroDivisionError("broken install"))
    env.mp.delitem(sys.modules, "onnxruntime", raising=False)
    env.mp.setattr(sys, "meta_path", [Broken(), *sys.meta_path])
    return then(env.weights(), env.m.DfineDetector)


@scenario
def not_found_text_read_before_detect_error(env):
    class Loud(FakeWeights.WeightsNotFound):
        def __str__(self):
            env.trace.append("str")
            return "loud"
    return then(env.ort(), env.weights(error=Loud()), env.delete("DetectError"), env.m.DfineDetector)


@scenario
def session_assignment_fails(env):
    class Guarded(env.m.DfineDetector):
        def __setattr__(self, name, value):
            if name == "session":
                raise env.named("refused", AttributeError("session is read-only"))
            super().__setattr__(name, value)
    return then(env.ort(), env.weights(), Guarded)


@scenario
def attributes_read_back(env):
    class Wrapped:
        def __init__(self, session):
            self.session = session

        def get_providers(self):
            return ["Wrapped"]

        def get_inputs(self):
            return [SimpleNamespace(type="tensor(float16)")]

    class Sub(env.m.DfineDetector):
        def __setattr__(self, name, value):
            value = Wrapped(value) if name == "session" else "Tensorrt" + value if name == "provider" else value
            super().__setattr__(name, value)
    return then(env.ort(), env.weights(), partial(Sub, "m.onnx", "cpu"))


@scenario
def collaborators_answer_with_mappings(env):
    class Session(FakeSession):
        def get_providers(self):
            return {0: CPU}

        def get_inputs(self):
            return {0: SimpleNamespace(type="tensor(float16)")}
    env.ort().InferenceSession = lambda path, providers: Session(path, providers)
    return then(env.weights(), env.set("_providers", lambda device: {0: CUDA}), env.m.DfineDetector)


@scenario
def logger_rebound(env):
    class Recorder:
        def __getattr__(self, level):
            return lambda *args: env.trace.append((level, args))
    return then(env.set("logger", Recorder()), env.ort(available=[CPU]), env.weights(), partial(env.m.DfineDetector, device="cuda"))


@scenario
def detections(env):
    det = env.detector()
    return lambda: [det.detect(IMG, iou="unused"), det.detect(IMG, 1), det.detect(IMG, conf="0.5")]


@scenario
def bad_inputs(env):
    det = env.detector()
    return lambda: [str(pytest.raises(env.m.DetectError, det.detect, image).value)
                    for image in (None, [[0, 0, 0]], np.zeros((0, 10, 3), np.uint8), "img")]


@scenario
def instance_test_raises(env):
    class Shifty:
        @property
        def __class__(self):
            raise env.named("class error", RuntimeError("no class today"))
    return partial(env.detector().detect, Shifty())


@scenario
def size_raises(env):
    class Sized(np.ndarray):
        @property
        def size(self):
            raise env.named("size error", OverflowError("no size"))
    return partial(env.detector().detect, IMG.view(Sized))


@scenario
def rows_fail_on_the_second(env):
    class Rows:
        """An output whose iteration fails after its first row."""

        def __getitem__(self, key):
            return self

        def __iter__(self):
            yield 1
            raise env.named("row error", IndexError("no second row"))
    outs = [Rows(), np.array([[[1, 2, 3, 4]] * 2], np.float32), np.array([[0.9, 0.8]], np.float32)]
    return partial(env.detector(outputs=outs).detect, IMG)


@scenario
def shared_detectors(env):
    made, m = [], env.m
    env.set("DfineDetector", lambda model, device: made.append((model, device)) or env.named(f"detector {len(made)}", object()))
    env.watched.append(lambda: made)
    return lambda: [m.get_detector(), m.get_detector(device=""), m.get_detector("a.onnx", "cpu"), m.get_detector(device="auto")]


@scenario
def device_truth_test_fails(env):
    class Device:
        def __bool__(self):
            raise env.named("truth error", ZeroDivisionError("no truth"))
    return then(env.set("_LOCK", Lock(env)), partial(env.m.get_detector, "m.onnx", Device()))


@pytest.mark.parametrize("name", SCENARIOS)
def test_same_outcome_as_the_reference(dr, ref, name):
    native, python = run(dr, SCENARIOS[name]), run(ref, SCENARIOS[name])
    assert native == python


def test_outcomes_are_compared_in_full(dr):
    """The picture of an outcome holds what the comparison relies on."""
    got = run(dr, SCENARIOS["run raises"])["raised"]
    assert (got["type"], got["message"], got["cause"]["name"], got["context"]) == \
        ("DetectError", "detect inference failed: [ONNXRuntimeError]", "run error", "the cause")
    assert got["frames"][1:] == ["module:DfineDetector.detect:205"]
    assert got["cause"]["frames"][0] == "module:DfineDetector.detect:203"
    assert got["cause"]["frames"][1].startswith("helpers.py:FakeSession.run:")


# --- the reference reads like the extension ---------------------------------------------------------

def test_reference_namespace_and_metadata(dr, ref):
    assert [k for k in vars(ref) if not k.startswith("__")] == [k for k in vars(dr) if not k.startswith("__")]
    assert inspect.getdoc(ref) == inspect.getdoc(dr)
    for qualname in QUALNAMES + ["DetectError", "Detection", "DfineDetector"]:
        python, native = (reduce(getattr, qualname.split("."), m) for m in (ref, dr))
        assert (python.__doc__ and inspect.cleandoc(python.__doc__)) == native.__doc__, qualname
        if qualname in QUALNAMES:
            code, native_code = python.__code__, native.__code__
            assert (python.__qualname__, python.__defaults__, python.__kwdefaults__, python.__annotations__) == \
                (native.__qualname__, native.__defaults__, native.__kwdefaults__, native.__annotations__)
            assert (code.co_firstlineno, code.co_varnames[:code.co_argcount]) == \
                (native_code.co_firstlineno, native_code.co_varnames[:native_code.co_argcount])
        else:
            assert [b.__name__ for b in python.__bases__] == [b.__name__ for b in native.__bases__]
            assert list(vars(python)) == list(vars(native)), qualname


# --- every statement line the extension names holds that statement in the reference -------------------

# What each named line holds: the statement's kind, then (for an assignment) its target before "=", then the
# calls ("f()") and names it reads, all on that very line, so that the reference fails where the extension says.
EXPECTED = {
    "module_line": {
        "first": "Docstring", "import_logging": "import logging", "import_threading": "import threading",
        "import_dataclass": "from dataclasses import dataclass", "import_cv2": "import cv2",
        "import_numpy": "import numpy as np", "import_image": "from PIL import Image",
        "import_weights": "from quarn import weights", "logger": "Assign logger = logging.getLogger()",
        "default_weights": "Assign DEFAULT_WEIGHTS =", "module_key": "Assign _MODULE =",
        "input_size": "Assign _INPUT_SIZE =", "coco80": "Assign COCO80 =", "cache": "Assign _CACHE =",
        "lock": "Assign _LOCK = threading.Lock()", "class_detect_error": "ClassDef DetectError",
        "class_detection": "ClassDef Detection", "def_is_available": "FunctionDef is_available",
        "def_providers": "FunctionDef _providers", "class_detector": "ClassDef DfineDetector",
        "def_init": "FunctionDef __init__", "def_preprocess": "FunctionDef _preprocess",
        "def_detect": "FunctionDef detect", "def_get_detector": "FunctionDef get_detector",
        "def_available": "FunctionDef available", "def_declared_names": "FunctionDef _declared_names",
        "def_session_options": "FunctionDef _session_options",
    },
    "is_available_line": {"available": "Return weights.available() _MODULE model"},
    "providers_line": {
        "import_ort": "import onnxruntime as ort", "if_cpu": "If device", "if_cuda_offered": "If set() ort.get_available_providers()",
        "if_cuda": "If device", "warn_cuda_missing": "Expr logger.warning()",
    },
    "init_line": {
        "import_ort": "import onnxruntime as ort", "raise_ort_missing": "Raise DetectError() exc",
        "model_path": "Assign path = weights.model_path() _MODULE model",
        "except_not_found": "ExceptHandler weights.WeightsNotFound", "raise_not_found": "Raise DetectError() str() exc",
        "set_model": "Assign self.model = model", "requested": "Assign requested = _providers() device",
        "set_session": "Assign self.session = ort.InferenceSession() str() requested _session_options() ort",
        "actual": "Assign actual = self.session.get_providers()", "set_provider": "Assign self.provider = actual",
        "set_device": "Assign self.device = self.provider.startswith()", "if_fallback": "If requested self.provider",
        "warn_fallback": "Expr logger.warning() requested self.provider",
        "log_loaded": "Expr logger.info() path.name self.provider", "set_names":
            "Assign self.names = _declared_names() self.session path.name dict() enumerate() COCO80",
        "input_type": "Assign t = self.session.get_inputs()", "set_image_dtype": "Assign self._image_dtype = np.float16 np.float32",
    },
    "preprocess_line": {
        "fused": "Nothing", "unpack_shape": "Assign h, w = image.shape", "if_colour": "If image.ndim",
        "convert_colour": "Assign rgb = cv2.cvtColor() cv2.COLOR_BGR2RGB",
        "convert_grey": "Assign rgb = cv2.cvtColor() cv2.COLOR_GRAY2RGB",
        "resize": "Assign resized = Image.fromarray() Image.fromarray(rgb).resize() _INPUT_SIZE Image.BILINEAR",
        "scale": "Assign arr = np.asarray() np.float32", "to_chw": "Assign arr = np.transpose()",
        "return_inputs": "Return np.ascontiguousarray() np.array() np.int64",
    },
    "detect_line": {
        "check_input": "If isinstance() np.ndarray image.size", "raise_bad_input": "Raise DetectError()",
        "preprocess": "Assign x, sizes = self._preprocess()", "cast": "Assign x = x.astype() self._image_dtype",
        "feed": "Assign session, feed = self.session", "run": "Assign labels, boxes, scores = session.run()",
        "raise_failed": "Raise DetectError() exc", "outputs": "Assign labels, boxes, scores = labels boxes scores",
        "keep": "Assign keep = float() scores", "result": "Assign result =", "zip": "For zip() keep",
        "unpack_box": "Assign x1, y1, x2, y2 = box", "class_id": "Assign cid = int()",
        "class_name": "Assign name, confidence, xyxy = self.names.get() str() float() int()",
        "detection": "Assign detection = Detection()", "append": "Expr result.append()",
    },
    "get_detector_line": {
        "device_given": "Assign device_key = device", "key": "Assign key = model device_key", "with_lock": "With _LOCK",
        "if_missing": "If key _CACHE", "construct": "Assign detector = DfineDetector()", "store": "Assign _CACHE[key] = detector",
        "return_cached": "Return _CACHE key",
    },
    "available_line": {"probe": "Return is_available()"},
    "declared_names_line": {
        "import_json": "import json", "get_modelmeta": "Assign get_modelmeta = getattr() session",
        "text": "Assign text = get_modelmeta() get_modelmeta().custom_metadata_map.get()",
        "loads": "Assign value = json.loads() text tuple", "for_pairs": "For enumerate() isinstance() value",
        "cls_id": "Assign cls_id = int() key.isascii() key.isdigit() len() key",
        "if_unusable": "If cls_id names isinstance() name", "store": "Assign names[cls_id] = name",
        "warn_ignored": "Expr logger.warning()",
    },
    "session_options_line": {
        "import_os": "import os", "threads": "Assign threads = os.environ.get()",
        "inter": "Assign inter = os.environ.get()", "spin": "Assign spin = os.environ.get()",
        "if_bad_count": "If value.isascii() value.isdigit() len() int()", "raise_bad_count": "Raise DetectError() name value",
        "if_bad_spin": "If spin", "raise_bad_spin": "Raise DetectError()",
        "options": "Assign options = ort.SessionOptions()", "set_intra": "Assign options.intra_op_num_threads = int() threads",
        "set_inter": "Assign options.inter_op_num_threads = int() inter",
        "spin_intra": "Expr options.add_session_config_entry() spin", "spin_inter": "Expr options.add_session_config_entry() spin",
    },
}
# Each function's table counts from its def line.
DEF_LINES = {"is_available_line": "def_is_available", "providers_line": "def_providers", "init_line": "def_init",
             "preprocess_line": "def_preprocess", "detect_line": "def_detect", "get_detector_line": "def_get_detector",
             "available_line": "def_available", "declared_names_line": "def_declared_names",
             "session_options_line": "def_session_options"}


def cpp_line_tables():
    root = Path(__file__).resolve().parents[1]
    (source,) = sorted((root / "src").rglob("dfine_runner.cpp"))
    text = source.read_text()
    tables = {ns: dict((k, int(v)) for k, v in re.findall(r"(\w+) = (\d+)", body))
              for ns, body in re.findall(r"namespace (\w+_line) \{\s*enum : int \{(.*?)\};", text, re.S)}
    assert set(tables) == set(EXPECTED), "a line table without expectations, or one the extension no longer has"
    return tables


def statement_at(tree, line):
    found = [n for n in ast.walk(tree) if isinstance(n, (ast.stmt, ast.excepthandler)) and n.lineno == line]
    return found[0] if found else None


def header(node):
    """The parts of a statement evaluated on its own line (a compound statement's test, not its body)."""
    if isinstance(node, (ast.If, ast.While)):
        return [node.test]
    if isinstance(node, ast.For):
        return [node.target, node.iter]
    if isinstance(node, ast.With):
        return node.items
    if isinstance(node, ast.ExceptHandler):
        return [node.type]
    return [node]


def mismatch(node, spec, line):
    """What is wrong with node as the statement spec names at line; None when it fits."""
    kind, _, rest = spec.partition(" ")
    if kind in ("import", "from"):
        return None if node is not None and ast.unparse(node) == spec else f"not {spec!r}"
    if kind == "Nothing":
        return None if node is None else f"holds {type(node).__name__}"
    if kind == "Docstring":
        ok = isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str)
        return None if ok else "no docstring"
    if type(node).__name__ != kind:
        return f"holds {type(node).__name__ if node else 'no statement'}, not {kind}"
    if kind in ("ClassDef", "FunctionDef"):
        return None if node.name == rest else f"defines {node.name}"
    if kind == "ExceptHandler":
        return None if ast.unparse(node.type) == rest else f"catches {ast.unparse(node.type)}"
    parts = header(node)
    target, _, reads = rest.rpartition("=") if "=" in rest else ("", "", rest)
    if target and ast.unparse(node.targets[0]).strip("()") != target.strip():
        return f"assigns {ast.unparse(node.targets[0])}"
    calls = {ast.unparse(n.func) + "()": n.lineno for p in parts for n in ast.walk(p) if isinstance(n, ast.Call)}
    loads = {ast.unparse(n): n.lineno for p in parts for n in ast.walk(p) if isinstance(n, (ast.Name, ast.Attribute))}
    for name in reads.split():
        if (calls if name.endswith("()") else loads).get(name) != line:
            return f"does not read {name} on this line"
    if any(n != line for n in calls.values()):
        return "calls on another line"
    return None


def test_named_statement_lines_hold_their_statements():
    tables = cpp_line_tables()
    tree = ast.parse(REFERENCE.read_text())
    wrong = []
    for ns, entries in tables.items():
        assert set(entries) == set(EXPECTED[ns]), ns
        base = tables["module_line"][DEF_LINES[ns]] if ns in DEF_LINES else 0
        for name, offset in entries.items():
            line = base + offset
            problem = mismatch(statement_at(tree, line), EXPECTED[ns][name], line)
            if problem:
                wrong.append(f"{ns}::{name} = {offset} (line {line}): {problem}")
    assert not wrong, "\n".join(wrong)

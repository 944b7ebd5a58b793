import dataclasses
import functools
import importlib
import inspect
import sys
import threading
import traceback
import types

import pytest

from helpers import NAME, FakeWeights, run_py

ATTRS = ["logging", "threading", "dataclass", "cv2", "np", "Image", "weights", "logger", "DEFAULT_WEIGHTS",
         "_MODULE", "_INPUT_SIZE", "COCO80", "_CACHE", "_LOCK", "DetectError", "Detection", "is_available",
         "_providers", "DfineDetector", "get_detector", "available", "_declared_names", "_session_options"]
D, M = "dfine_m_coco.onnx", dataclasses.MISSING
FUNCS = {  # qualname: (defaults, annotations, first line, positional names)
    "is_available": ((D,), {"model": "str", "return": "bool"}, 96, ("model",)),
    "_providers": (None, {"device": "str | None", "return": "list[str]"}, 101, ("device",)),
    "DfineDetector.__init__": ((D, None), {"model": "str", "device": "str | None", "return": "None"}, 117,
                               ("self", "model", "device")),
    "DfineDetector._preprocess": (None, {"image": "np.ndarray", "return": "tuple[np.ndarray, np.ndarray]"}, 148,
                                  ("self", "image")),
    "DfineDetector.detect": ((0.25, 0.45), {"image": "np.ndarray", "conf": "float", "iou": "float",
                                            "return": "list[Detection]"}, 184, ("self", "image", "conf", "iou")),
    "get_detector": ((D, None), {"model": "str", "device": "str | None", "return": "DfineDetector"}, 226,
                     ("model", "device")),
    "available": (None, {"return": "bool"}, 236, ()),
    "_declared_names": (None, {"session": "object", "model_file": "str", "return": "dict[int, str] | None"}, 247,
                        ("session", "model_file")),
    "_session_options": (None, {"ort": "object", "return": "dict[str, object]"}, 285, ("ort",)),
}


def test_module_namespace(dr):
    import logging

    assert [k for k in vars(dr) if not k.startswith("__")] == ATTRS
    assert (dr.logging, dr.threading, dr.dataclass) == (logging, threading, dataclasses.dataclass)
    assert [dr.cv2, dr.np, dr.Image, dr.weights] == [sys.modules[n] for n in ("cv2", "numpy", "PIL.Image",
                                                                              "quarn.weights")]
    assert dr.logger is logging.getLogger("quarn.detect.dfine")
    assert (dr.DEFAULT_WEIGHTS, dr._MODULE, dr._INPUT_SIZE) == (D, "detect", 640)
    assert type(dr.COCO80) is tuple and len(dr.COCO80) == 80 and len(set(dr.COCO80)) == 80
    assert (dr.COCO80[0], dr.COCO80[62], dr.COCO80[79]) == ("person", "tv", "toothbrush")
    assert type(dr._LOCK) is type(threading.Lock())
    assert dr.__package__ == "quarn.inspection.detect" and not hasattr(dr, "__path__")


def test_classes(dr):
    assert {getattr(dr, c).__module__ for c in ("DetectError", "Detection", "DfineDetector")} == {NAME}
    assert issubclass(dr.DetectError, RuntimeError) and dataclasses.is_dataclass(dr.Detection)
    fields = dataclasses.fields(dr.Detection)
    assert [(f.name, f.type, f.default) for f in fields] == [
        ("cls_id", "int", M), ("cls_name", "str", M), ("conf", "float", M),
        ("xyxy", "tuple[int, int, int, int]", M), ("obb", "tuple[float, ...] | None", None)]
    a = dr.Detection(1, "bicycle", 0.5, (1, 2, 3, 4))
    assert a == dr.Detection(cls_id=1, cls_name="bicycle", conf=0.5, xyxy=(1, 2, 3, 4), obb=None)
    assert a != dr.Detection(1, "bicycle", 0.5, (1, 2, 3, 5))
    with pytest.raises(TypeError):
        hash(a)


@pytest.mark.parametrize("qualname", FUNCS)
def test_function_introspection(dr, qualname):
    defaults, annotations, line, args = FUNCS[qualname]
    f = functools.reduce(getattr, qualname.split("."), dr)
    assert (f.__name__, f.__qualname__, f.__module__) == (qualname.split(".")[-1], qualname, NAME)
    assert (f.__defaults__, f.__kwdefaults__, f.__annotations__) == (defaults, None, annotations)
    assert f.__globals__ is vars(dr)
    code = f.__code__
    assert (code.co_firstlineno, code.co_argcount, code.co_varnames[:len(args)]) == (line, len(args), args)
    assert (f.__doc__ is None) if qualname.endswith("__init__") else isinstance(f.__doc__, str)
    sig = inspect.signature(f)
    assert (tuple(sig.parameters), sig.return_annotation) == (args, annotations["return"])


def test_methods_bind(dr):
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    bound = det.detect
    assert isinstance(bound, types.MethodType) and (bound.__self__, bound.__func__) == (det, dr.DfineDetector.detect)
    assert str(inspect.signature(bound)) == \
        "(image: 'np.ndarray', conf: 'float' = 0.25, iou: 'float' = 0.45) -> 'list[Detection]'"


def test_defaults_fixed_at_definition(dr, monkeypatch):
    w = FakeWeights()
    monkeypatch.setattr(dr, "weights", w)
    monkeypatch.setattr(dr, "DEFAULT_WEIGHTS", "other.onnx")
    assert dr.is_available.__defaults__ == (D,)
    dr.is_available()
    assert w.calls == [("available", "detect", D)]


def test_traceback_names_frames(dr, monkeypatch):
    monkeypatch.setattr(dr, "weights", FakeWeights(answer=None))
    monkeypatch.setattr(dr.weights, "available", lambda *a: 1 / 0)
    with pytest.raises(ZeroDivisionError) as ei:
        dr.available()
    names = [fs.name for fs in traceback.extract_tb(ei.value.__traceback__)]
    assert names.index(f"{NAME}.available") < names.index(f"{NAME}.is_available")


@pytest.mark.parametrize("call, message", [
    (lambda dr: dr._providers(), "_providers() takes exactly 1 positional argument (0 given)"),
    (lambda dr: dr._providers("cpu", "x"), "_providers() takes exactly 1 positional argument (2 given)"),
    (lambda dr: dr.DfineDetector.__new__(dr.DfineDetector).detect(1, 2, 3, 4),
     "detect() takes at most 4 positional arguments (5 given)"),
    (lambda dr: dr.DfineDetector.detect(None), "detect() takes at least 2 positional arguments (1 given)"),
    (lambda dr: dr.get_detector(foo=1), "get_detector() got an unexpected keyword argument 'foo'"),
    (lambda dr: dr.get_detector("a", model="b"), "get_detector() got multiple values for keyword argument 'model'"),
    (lambda dr: dr.available(1), "available() takes no arguments (1 given)"),
    (lambda dr: dr.available(x=1), "available() takes no keyword arguments"),
])
def test_binding_errors(dr, call, message):
    with pytest.raises(TypeError) as ei:
        call(dr)
    assert str(ei.value) == message


def test_reimport_gives_same_module(dr, monkeypatch):
    cache = dr._CACHE
    assert importlib.import_module(NAME) is dr
    monkeypatch.delitem(sys.modules, NAME)
    again = importlib.import_module(NAME)
    assert again is dr and again._CACHE is cache


SUBPROCESS_CHECKS = {
    "subinterpreter": """
        import _xxsubinterpreters as si, quarn.inspection.detect.dfine_runner
        interp = si.create()
        try:
            si.run_string(interp, "import quarn.inspection.detect.dfine_runner")
        except si.RunFailedError as exc:
            assert "ImportError" in str(exc) and str(exc).endswith(
                ": Interpreter change detected - this module can only be loaded into one interpreter per process."), exc
        else:
            raise SystemExit("sub-interpreter import succeeded")
        """,
    "failed import is retried, onnxruntime lazy": """
        import sys, traceback, cv2
        sys.modules["cv2"] = None
        try:
            import quarn.inspection.detect.dfine_runner
        except ImportError as exc:
            names = [fs.name for fs in traceback.extract_tb(exc.__traceback__)]
            assert "init quarn.inspection.detect.dfine_runner" in names, names
        else:
            raise SystemExit("import succeeded without cv2")
        sys.modules["cv2"] = cv2
        import quarn.inspection.detect.dfine_runner as m
        assert m.cv2 is cv2 and len(m.COCO80) == 80
        assert "onnxruntime" not in sys.modules  # loaded only when a detector is made
        """,
    # Each failed import after the libraries are bound replaces what the process state keeps of them; a reference
    # taken without being owned would leave the libraries' counts one lower each time.
    "failed imports keep the libraries' counts": """
        import sys, threading
        import cv2, numpy as np
        from PIL import Image
        from helpers import watched_names
        lock = threading.Lock
        threading.Lock = lambda: 1 / 0  # fails the module body after the libraries are bound
        def import_fails():
            try:
                import quarn.inspection.detect.dfine_runner
            except ZeroDivisionError:
                return True
        kept = [cv2, np, Image, np.ndarray, np.float16, np.empty]
        kept += [v for v in (getattr(owner, name) for owner, name in watched_names()) if not isinstance(v, int)]
        assert import_fails()
        counts = [sys.getrefcount(v) for v in kept]
        assert all(import_fails() for _ in range(5))
        assert [sys.getrefcount(v) for v in kept] == counts, list(zip(kept, counts, map(sys.getrefcount, kept)))
        threading.Lock = lock
        import quarn.inspection.detect.dfine_runner as m
        assert m.np is np
        """,
    "onnxruntime blocked": """
        import os, sys
        sys.modules["onnxruntime"] = None
        os.environ["QUARN_WEIGHTS_DIR"] = os.getcwd()
        import quarn.inspection.detect.dfine_runner as m
        assert m.COCO80[0] == "person" and m.is_available("no_such_model.onnx") is False
        assert m.Detection(0, "person", 1.0, (0, 0, 1, 1)).obb is None
        try:
            m.DfineDetector("whatever.onnx")
        except m.DetectError as exc:
            assert str(exc) == "onnxruntime is required. Reinstall: pip install quarn"
        else:
            raise SystemExit("constructed without onnxruntime")
        """,
}


@pytest.mark.parametrize("code", SUBPROCESS_CHECKS.values(), ids=SUBPROCESS_CHECKS.keys())
def test_in_fresh_process(code):
    rc, out = run_py(code)
    assert rc == 0, out

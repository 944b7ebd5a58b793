"""The module's functions and classes behave like the Python code they stand for.

Each check compares with what the interpreter itself does for the equivalent
Python statement (raise, with, zip, a global lookup, a class statement, a
function object).
"""

import copy
import dataclasses
import functools
import gc
import logging
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import traceback
import weakref
from pathlib import Path

import numpy as np
import pytest

from helpers import LOGGER, NAME, FakeSession, FakeWeights, run_py

IMG = np.full((24, 32, 3), 50, np.uint8)
OUTS = [np.array([[0, 1]], np.int64), np.array([[[1, 2, 3, 4]] * 2], np.float32), np.array([[0.9, 0.1]], np.float32)]
QUALNAMES = ["is_available", "_providers", "DfineDetector.__init__", "DfineDetector._preprocess",
             "DfineDetector.detect", "get_detector", "available", "_declared_names", "_session_options"]
ROOT = Path(__file__).resolve().parents[1]


def func(dr, qualname):
    return functools.reduce(getattr, qualname.split("."), dr)


def frames(exc):
    return [(fs.name, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture
def detector(dr):
    def build(**session_kw):
        det = dr.DfineDetector.__new__(dr.DfineDetector)
        det.session = FakeSession(**{"outputs": OUTS, **session_kw})
        det.names, det._image_dtype = dict(enumerate(dr.COCO80)), np.float32
        return det
    return build


# Every place that raises DetectError, each with the exception it wraps (None: a plain raise).
@pytest.fixture(params=["bad input", "inference", "missing model", "missing onnxruntime"])
def raise_site(request, dr, detector, fake_weights, fake_ort, monkeypatch):
    wrapped = None
    if request.param == "bad input":
        call = functools.partial(detector().detect, None)
    elif request.param == "inference":
        wrapped = RuntimeError("boom")
        call = functools.partial(detector(error=wrapped).detect, IMG)
    elif request.param == "missing model":
        wrapped = FakeWeights.WeightsNotFound("no such model")
        fake_weights(error=wrapped)
        fake_ort()
        call = functools.partial(dr.DfineDetector, "m.onnx", "cpu")
    else:
        fake_weights()
        monkeypatch.setitem(sys.modules, "onnxruntime", None)
        wrapped = ImportError  # made by the import itself
        call = functools.partial(dr.DfineDetector, "m.onnx", "cpu")
    return call, wrapped


def test_raise_goes_through_the_looked_up_class(dr, monkeypatch, raise_site):
    call, wrapped = raise_site

    def is_wrapped(exc):
        return exc is None if wrapped is None else isinstance(exc, wrapped) if isinstance(wrapped, type) \
            else exc is wrapped

    def linked(exc):  # `raise X(msg) from exc` sets cause and context; a plain raise neither
        assert is_wrapped(exc.__cause__) and exc.__context__ is exc.__cause__

    # not an exception class: the raise statement's own TypeError, with the handled exception as context
    monkeypatch.setattr(dr, "DetectError", str)
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == "exceptions must derive from BaseException"
    assert ei.value.__cause__ is None and is_wrapped(ei.value.__context__)

    # a factory returning an instance: that instance is raised
    made = []
    monkeypatch.setattr(dr, "DetectError", lambda message: made.append(KeyError(message)) or made[-1])
    with pytest.raises(KeyError) as ei:
        call()
    assert ei.value is made[0]
    linked(ei.value)

    # a factory returning a class: the class is instantiated without arguments, as `raise cls` does
    monkeypatch.setattr(dr, "DetectError", lambda message: LookupError)
    with pytest.raises(LookupError) as ei:
        call()
    assert type(ei.value) is LookupError and ei.value.args == ()
    linked(ei.value)


def test_wrapped_exception_traceback_starts_at_the_function(dr, detector, fake_weights, fake_ort, monkeypatch):
    init, detect = f"{NAME}.DfineDetector.__init__", f"{NAME}.DfineDetector.detect"
    # model lookup: the cause starts at __init__, then model_path
    fake_ort()
    fake_weights(error=FakeWeights.WeightsNotFound("gone"))
    with pytest.raises(dr.DetectError) as ei:
        dr.DfineDetector("m.onnx", "cpu")
    cause = frames(ei.value.__cause__)
    assert [n for n, _ in cause] == [init, "model_path"]
    assert [n for n, _ in frames(ei.value)].count(init) == 1
    # an error the handler does not match passes on with one entry, at the failing call's line
    fake_weights(error=OSError("disk"))
    with pytest.raises(OSError) as ei:
        dr.DfineDetector("m.onnx", "cpu")
    assert [(n, line) for n, line in frames(ei.value) if n == init] == [cause[0]]

    # inference: the cause starts at detect, then the session's run
    with pytest.raises(dr.DetectError) as ei:
        detector(error=RuntimeError("boom")).detect(IMG)
    assert [n for n, _ in frames(ei.value.__cause__)] == [detect, "run"]
    with pytest.raises(KeyboardInterrupt) as ei:
        detector(error=KeyboardInterrupt()).detect(IMG)
    assert [n for n, _ in frames(ei.value)].count(detect) == 1

    # onnxruntime import: the cause starts at __init__
    monkeypatch.setitem(sys.modules, "onnxruntime", None)
    with pytest.raises(dr.DetectError) as ei:
        dr.DfineDetector("m.onnx", "cpu")
    assert [n for n, _ in frames(ei.value.__cause__)][:1] == [init]


# The statements the native handlers stand for, as Python runs them.
def python_detect(session, DetectError):
    try:
        labels, boxes, scores = session.run(None, {})
    except Exception as exc:
        raise DetectError(f"detect inference failed: {exc}") from exc


def python_model_path(weights, DetectError):
    try:
        return weights.model_path("detect", "m.onnx")
    except weights.WeightsNotFound as exc:
        raise DetectError(str(exc)) from exc


def python_get_detector(lock, construct):
    with lock:
        return construct()


def raise_(exc):
    raise exc


def handle_another(handled, earlier):
    try:
        raise KeyError("inner")
    except KeyError:
        raise OSError("from the handler")


# What the code a handler calls may do with the exception being handled, whose context is `earlier`.
REACTIONS = {
    "returns it": lambda handled, earlier: handled,
    "raises it": lambda handled, earlier: raise_(handled),
    "returns its context": lambda handled, earlier: earlier,
    "raises its context": lambda handled, earlier: raise_(earlier),
    "handles another and raises": handle_another,
}


class HookedWeights(FakeWeights):
    def __init__(self, hook, **kw):
        super().__init__(**kw)
        self.hook = hook

    @property
    def WeightsNotFound(self):
        return self.hook()


class HookedLock:
    def __init__(self, hook):
        self.hook = hook

    def __enter__(self):
        pass

    def __exit__(self, *exc_info):
        return self.hook()


# Each handler, with a hook as the callee a reaction is put into: the native call and the same statements
# in Python, given the exception the guarded call raises.
def inference_handler(dr, monkeypatch, detector, handled, hook):
    monkeypatch.setattr(dr, "DetectError", hook)
    det = detector(error=handled)
    return lambda: det.detect(IMG), lambda: python_detect(FakeSession(error=handled), hook)


def model_lookup_handler(dr, monkeypatch, detector, handled, hook):
    monkeypatch.setattr(dr, "DetectError", hook)
    monkeypatch.setattr(dr, "weights", FakeWeights(error=handled))
    return lambda: dr.DfineDetector("m.onnx", "cpu"), lambda: python_model_path(FakeWeights(error=handled), hook)


def except_clause(dr, monkeypatch, detector, handled, hook):
    monkeypatch.setattr(dr, "weights", HookedWeights(hook, error=handled))
    return lambda: dr.DfineDetector("m.onnx", "cpu"), lambda: python_model_path(HookedWeights(hook, error=handled), None)


def with_exit(dr, monkeypatch, detector, handled, hook):
    monkeypatch.setattr(dr, "_LOCK", HookedLock(hook))
    monkeypatch.setattr(dr, "DfineDetector", lambda model, device: raise_(handled))
    return lambda: dr.get_detector("m.onnx"), lambda: python_get_detector(HookedLock(hook), lambda: raise_(handled))


def links(outcome, handled, earlier):
    """What a call ended with, and every exception reachable from it with its context, cause and suppression."""
    def name(e):
        return {id(handled): "handled", id(earlier): "earlier", id(None): None}.get(id(e), f"{type(e).__name__}({e})")
    found, todo = {}, [outcome]
    while todo:
        e = todo.pop()
        if isinstance(e, BaseException) and name(e) not in found:
            found[name(e)] = (name(e.__context__), name(e.__cause__), e.__suppress_context__)
            todo += [e.__context__, e.__cause__]
    for start in found:  # following the contexts always ends: no exception is its own context, no cycle
        seen, at = set(), start
        while at is not None:
            assert at not in seen, (start, found)
            seen.add(at)
            at = found[at][0]
    return name(outcome), found


@pytest.mark.parametrize("reaction", REACTIONS)
@pytest.mark.parametrize("handler", [inference_handler, model_lookup_handler, except_clause, with_exit],
                         ids=["DetectError in detect", "DetectError in __init__", "except clause", "__exit__"])
def test_handlers_chain_exceptions_as_python_does(dr, detector, fake_ort, monkeypatch, handler, reaction):
    fake_ort()
    results = []
    for run in (0, 1):  # fresh exceptions for each run: a run may relink them
        try:
            try:
                raise ValueError("earlier")
            except ValueError:
                raise FakeWeights.WeightsNotFound("handled")
        except FakeWeights.WeightsNotFound as exc:
            handled, earlier = exc, exc.__context__
        seen = []

        def hook(*args):
            seen.append(sys.exception())  # the exception being handled, as the callee sees it
            return REACTIONS[reaction](handled, earlier)
        call = handler(dr, monkeypatch, detector, handled, hook)[run]
        try:
            outcome = call()
        except BaseException as exc:
            outcome = exc
        results.append((links(outcome, handled, earlier), [links(e, handled, earlier)[0] for e in seen]))
    native, python = results
    assert native == python


class Manager:
    def __init__(self):
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.calls.append(exc_info)


def test_lock_is_used_like_a_with_statement(dr, monkeypatch):
    def message(lock):
        try:
            with lock:
                pass
        except TypeError as exc:
            return str(exc)
        return None

    class OnInstance:
        def __init__(self):
            self.__enter__, self.__exit__ = (lambda: None), (lambda *a: None)

    class EnterOnly:
        def __enter__(self):
            raise AssertionError("entered without __exit__")

    for lock in (object(), OnInstance(), EnterOnly()):
        monkeypatch.setattr(dr, "_LOCK", lock)
        with pytest.raises(TypeError) as ei:
            dr.get_detector("x")
        assert str(ei.value) == message(lock) and "context manager protocol" in str(ei.value)

    # __exit__ is bound before __enter__ runs, as the with statement does
    class Swapping(Manager):
        def __enter__(self):
            type(self).__exit__ = lambda *a: self.calls.append("late exit")
            return super().__enter__()
    monkeypatch.setattr(dr, "_LOCK", Swapping())
    monkeypatch.setattr(dr, "DfineDetector", lambda model, device: "made")
    assert dr.get_detector("x") == "made"
    assert dr._LOCK.calls == ["enter", (None, None, None)]

    # leaving by exception: __exit__ sees the traceback with get_detector's own entry
    boom = OSError("cannot load")
    monkeypatch.setattr(dr, "_LOCK", Manager())
    monkeypatch.setattr(dr, "DfineDetector", lambda model, device: (_ for _ in ()).throw(boom))
    with pytest.raises(OSError) as ei:
        dr.get_detector("y")
    (_, (exc_type, value, tb)) = dr._LOCK.calls
    assert (exc_type, value) == (OSError, boom)
    assert [fs.name for fs in traceback.extract_tb(tb)][0] == f"{NAME}.get_detector"
    assert [n for n, _ in frames(ei.value)].count(f"{NAME}.get_detector") == 1


def test_construction_reads_its_attributes_back(dr, fake_ort, fake_weights, caplog):
    class Wrapped:
        def __init__(self, session):
            self.session = session

        def get_providers(self):
            return ["Wrapped"]

        def get_inputs(self):
            return [type("Input", (), {"type": "tensor(float16)"})()]

    class Sub(dr.DfineDetector):
        def __setattr__(self, name, value):
            if name == "session":
                value = Wrapped(value)
            elif name == "provider":
                value = "Tensorrt" + value
            super().__setattr__(name, value)

    fake_ort()
    fake_weights(path=Path("/models/detect/m.onnx"))
    with caplog.at_level(logging.INFO, logger=LOGGER):
        det = Sub("m.onnx", "cpu")
    assert type(det.session) is Wrapped and det.provider == "TensorrtWrapped" and det.device == "cuda"
    assert det._image_dtype is np.float16
    assert [r.args for r in caplog.records] == [("CPUExecutionProvider", "TensorrtWrapped"),
                                                 ("m.onnx", "TensorrtWrapped")]


class Column:
    """An output array that records selection, iteration and each step of the iteration."""

    def __init__(self, tag, rows, log):
        self.tag, self.rows, self.log = tag, rows, log

    def __getitem__(self, key):
        if key == 0:
            return self
        self.log.append(("select", self.tag))
        return self

    def __ge__(self, other):
        return "mask"

    def __iter__(self):
        self.log.append(("iter", self.tag))
        return self

    def __next__(self):
        self.log.append(("next", self.tag))
        if not self.rows:
            raise StopIteration
        return self.rows.pop(0)


def test_detect_selects_then_zips(detector):
    log = []
    outs = [Column("labels", [3, 4], log), Column("boxes", [(1, 2, 3, 4)], log), Column("scores", [0.5, 0.6], log)]
    got = detector(outputs=outs).detect(IMG)
    assert [(d.cls_id, d.xyxy, d.conf) for d in got] == [(3, (1, 2, 3, 4), 0.5)]
    assert log == [("select", "labels"), ("select", "boxes"), ("select", "scores"),
                   ("iter", "labels"), ("iter", "boxes"), ("iter", "scores"),
                   ("next", "labels"), ("next", "boxes"), ("next", "scores"),
                   ("next", "labels"), ("next", "boxes")]  # zip stops at the first exhausted column


@pytest.mark.parametrize("name, call", [
    ("np", lambda dr, det: det.detect(IMG)),
    ("is_available", lambda dr, det: dr.available()),
    ("_LOCK", lambda dr, det: dr.get_detector("x")),
])
def test_deleted_global_names_itself(dr, detector, name, call):
    det, namespace = detector(), vars(dr)
    saved = dict(namespace)
    del namespace[name]
    try:
        with pytest.raises(NameError) as ei:
            call(dr, det)
    finally:  # put it back in its place: the namespace's order is checked elsewhere
        namespace.clear()
        namespace.update(saved)
    assert ei.value.name == name and str(ei.value) == f"name '{name}' is not defined"


def test_globals_fall_back_to_builtins(dr, monkeypatch):
    import builtins

    namespace = vars(dr)
    saved = dict(namespace)
    monkeypatch.setattr(builtins, "is_available", lambda: "from builtins", raising=False)
    del namespace["is_available"]
    try:
        assert dr.available() == "from builtins"
    finally:
        namespace.clear()
        namespace.update(saved)


def test_class_namespaces_read_like_class_statements(dr):
    class DetectError(RuntimeError):
        """doc"""

    @dataclasses.dataclass
    class Detection:
        """doc"""
        cls_id: "int"
        cls_name: "str"
        conf: "float"
        xyxy: "tuple[int, int, int, int]"
        obb: "tuple[float, ...] | None" = None

    class DfineDetector:
        """doc"""

        def __init__(self, model, device):
            pass

        def _preprocess(self, image):
            pass

        def detect(self, image, conf, iou):
            pass

    for python in (DetectError, Detection, DfineDetector):
        native = getattr(dr, python.__name__)
        assert list(vars(native)) == list(vars(python)), python.__name__


@pytest.mark.parametrize("qualname", QUALNAMES)
def test_functions_pickle_copy_and_weakref_like_python_functions(dr, qualname):
    f = func(dr, qualname)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f and copy.deepcopy({"f": [f]})["f"][0] is f
    ref = weakref.ref(f)
    assert ref() is f


def test_function_metadata_is_writable_like_python_functions(dr, monkeypatch):
    w = monkeypatch.setattr(dr, "weights", FakeWeights()) or dr.weights
    f = dr.is_available
    monkeypatch.setattr(f, "__kwdefaults__", {"model": "unused.onnx"})
    assert f.__kwdefaults__ == {"model": "unused.onnx"}
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        f.__kwdefaults__ = 1
    del f.__kwdefaults__
    assert f.__kwdefaults__ is None

    # surplus defaults line up with the last parameters, as in Python
    def python(model):
        return model
    python.__defaults__ = ("first.onnx", "last.onnx")
    monkeypatch.setattr(f, "__defaults__", ("first.onnx", "last.onnx"))
    f()
    assert w.calls == [("available", "detect", python())] == [("available", "detect", "last.onnx")]

    ftype = type(f)
    assert "." in ftype.__module__ and ftype.__module__ != "builtins"
    assert "__vectorcalloffset__" not in dir(ftype)


def test_failed_load_under_another_name_unregisters(tmp_path):
    (tmp_path / "cv2.py").write_text(
        "import os, sys\n"
        f"if os.environ.get('REPLACE_ENTRY'): sys.modules[{NAME!r}] = 'replaced'\n"
        "raise ImportError('no cv2 here')\n")
    check = f"""
        import importlib, importlib.util, os, sys
        origin = importlib.util.find_spec({NAME!r}).origin
        sys.path.insert(0, {str(tmp_path)!r})
        spec = importlib.util.spec_from_file_location("other.dfine_runner", origin)
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError as exc:
            assert str(exc) == "no cv2 here", exc
        else:
            raise SystemExit("loaded without cv2")
        if os.environ.get("REPLACE_ENTRY"):  # the entry is someone else's now: left alone
            assert sys.modules[{NAME!r}] == "replaced"
            raise SystemExit(0)
        assert {NAME!r} not in sys.modules, sys.modules[{NAME!r}]
        sys.path.pop(0)
        sys.modules.pop("cv2", None)
        import quarn.inspection.detect.dfine_runner as m
        assert m is not module and m.DfineDetector.__module__ == {NAME!r}
        """
    for replace in ("", "1"):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(check)], capture_output=True, text=True,
                              cwd=Path(__file__).parent, timeout=120, env={**os.environ, "REPLACE_ENTRY": replace})
        assert proc.returncode == 0, proc.stdout + proc.stderr


def test_tracebacks_show_no_wrong_source_line(dr):
    files = {func(dr, q).__code__.co_filename for q in QUALNAMES}
    assert len(files) == 1
    (filename,) = files
    assert Path(filename).as_posix().endswith("src/quarn/inspection/detect/dfine_runner")
    # run from the checkout root, where relative source names resolve
    rc, out = run_py(f"""
        import linecache, os, sys, traceback
        os.chdir({str(ROOT)!r})
        sys.path.insert(0, os.getcwd())
        import {NAME} as dr
        dr.weights = None
        try:
            dr.available()
        except AttributeError as exc:
            entries = [fs for fs in traceback.extract_tb(exc.__traceback__) if fs.name.startswith({NAME!r})]
        assert len(entries) == 2 and {{fs.filename for fs in entries}} == {{{filename!r}}}, entries
        assert [fs.line for fs in entries] == ["", ""], entries
        assert linecache.getline({filename!r}, dr.available.__code__.co_firstlineno) == ""
        """)
    assert rc == 0, out


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_entry_point_is_exported(dr):
    out = subprocess.run(["nm", "-D", "--defined-only", dr.__file__], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    assert symbols == {"PyInit_dfine_runner"}


class FailingSession:
    def __init__(self, text):
        self.text = text

    def run(self, names, feed):
        raise RuntimeError(self.text)  # a new exception each time: nothing outlives the call


def test_inference_errors_leak_nothing(dr, detector):
    det = detector()
    # Built at run time, so that only this test holds it; str() of the exception is this very object, so a
    # reference the message kept would show in its count (a constant's count would not tell).
    text = " ".join(["boom", str(os.getpid())])
    det.session = FailingSession(text)
    inputs = np.zeros((1, 3, 640, 640), np.float32), np.array([[32, 24]], np.int64)
    det._preprocess = lambda image: inputs  # only the inference step is under test

    def message():
        try:
            det.detect(IMG)
        except dr.DetectError as exc:
            return exc.args[0]
    first = message()
    gc.collect()
    refs = sys.getrefcount(text)
    assert first == f"detect inference failed: {text}" and sys.getrefcount(first) == 2  # only ours
    for _ in range(50):
        message()
    gc.collect()
    assert sys.getrefcount(text) == refs
    blocks = sys.getallocatedblocks()
    for _ in range(3000):
        message()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 300


# How the fake package compares `from quarn import weights` with the module's import of it.
COMPARE = """
import importlib.util
try:
    exec("from quarn import weights")
except ImportError as exc:
    python = (str(exc), exc.name, exc.path)
spec = importlib.util.spec_from_file_location(NAME, ORIGIN)
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ImportError as exc:
    native = (str(exc), exc.name, exc.path)
"""


@pytest.mark.parametrize("circular", [False, True], ids=["no member", "circular import"])
def test_missing_weights_member_raises_the_interpreters_import_error(dr, tmp_path, circular):
    pkg = tmp_path / "quarn"
    pkg.mkdir()
    init = pkg / "__init__.py"
    compare = f"NAME, ORIGIN = {NAME!r}, {dr.__file__!r}\n" + COMPARE
    init.write_text(compare if circular else "")
    rc, out = run_py(f"""
        import sys
        sys.modules.pop("quarn", None)
        sys.path.insert(0, {str(tmp_path)!r})
        import quarn
        if not {circular}:
            exec({compare!r}, vars(quarn))
        python, native = quarn.python, quarn.native
        assert native == python, (native, python)
        text = "partially initialized module 'quarn' (most likely due to a circular import)" if {circular} \\
            else "'quarn'"
        assert native == (f"cannot import name 'weights' from {{text}} ({init})", "quarn", {str(init)!r}), native
        """)
    assert rc == 0, out


def fresh(text):
    """The same text as a new, not interned string (keyword names built at run time)."""
    s = "".join(list(text))
    assert s == text and s is not sys.intern(s)
    return s


def test_keyword_names_built_at_run_time(dr, detector, fake_weights, fake_ort, monkeypatch):
    w = fake_weights()
    assert dr.is_available(**{fresh("model"): "k.onnx"}) is True and w.calls[-1] == ("available", "detect", "k.onnx")
    fake_ort()
    det = dr.DfineDetector(**{fresh("device"): "cpu", fresh("model"): "k.onnx"})
    assert (det.model, det.device) == ("k.onnx", "cpu")
    assert dr._providers(**{fresh("device"): "cpu"}) == ["CPUExecutionProvider"]
    d = detector()
    x, sizes = d._preprocess(**{fresh("image"): IMG})
    assert x.shape == (1, 3, 640, 640) and sizes.tolist() == [[32, 24]]
    assert len(d.detect(IMG, **{fresh("conf"): 0.0, fresh("iou"): None})) == 2
    assert len(d.detect(**{fresh("iou"): 0, fresh("image"): IMG})) == 1
    monkeypatch.setattr(dr, "DfineDetector", lambda model, device: (model, device))
    assert dr.get_detector(**{fresh("device"): "cpu", fresh("model"): "k.onnx"}) == ("k.onnx", "cpu")
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'model'"):
        dr.get_detector("a", **{fresh("model"): "b"})

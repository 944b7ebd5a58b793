"""The native paths step aside whenever they could differ from the library calls they stand in for.

A case passes when the detector gives what the library path gives (forced by
binding a forwarding object in place of the module's `cv2`): the same arrays,
or the same exception. Never a crash, a write out of bounds, a SystemError, or
a patched library function left uncalled.
"""

import contextlib
import inspect
import sys
from unittest import mock

import cv2
import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided
from PIL import Image

from helpers import (LOGGER, assert_same_outcome, bare_detector, fused_and_library, is_error, library_outcome, library_path, outcome,
                     reference_preprocess, run_py, watched_names)

COLOUR = np.random.default_rng(11).integers(0, 256, (45, 70, 3), dtype=np.uint8)
GREY = np.random.default_rng(12).integers(0, 256, (33, 20), dtype=np.uint8)
@pytest.fixture
def det(dr):
    return bare_detector(dr, np.float32)


def pillow_calls(call):
    """Names of the Python-level Pillow functions entered during call(): none on the native path."""
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_globals.get("__name__", "").startswith("PIL"):
            seen.append(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return seen


def test_native_path_is_taken_while_nothing_is_patched(dr, det):
    for image in (COLOUR, GREY):
        assert pillow_calls(lambda: det._preprocess(image)) == []
    with mock.patch.object(cv2, "cvtColor", wraps=cv2.cvtColor):
        assert "fromarray" in pillow_calls(lambda: det._preprocess(COLOUR))
    with library_path(dr):  # what every comparison with the library path relies on
        assert "fromarray" in pillow_calls(lambda: det._preprocess(COLOUR))
    assert pillow_calls(lambda: det._preprocess(COLOUR)) == []  # and again once the patch is gone


# --- patched or rebound library attributes ----------------------------------------------------------

class NearestImage(Image.Image):
    def resize(self, size, resample=None, *args, **kwargs):
        return super().resize(size, Image.NEAREST)


# Every library attribute the fused path watches, and how a test changes it: spied on (functions, methods and the
# property numpy reads an image through), or rebound to a value that changes what the library path gives.
SPIED = [(cv2, "cvtColor"), (Image, "fromarray"), (Image, "frombuffer"), (np, "asarray"), (np, "transpose"),
         (np, "ascontiguousarray"), (np, "array"), (Image.Image, "resize"), (Image.Image, "tobytes"),
         (Image.Image, "__array_interface__")]
REBOUND = [(Image, "BILINEAR", Image.NEAREST), (Image, "Image", NearestImage), (cv2, "COLOR_BGR2RGB", cv2.COLOR_BGR2RGBA),
           (cv2, "COLOR_GRAY2RGB", cv2.COLOR_GRAY2RGBA), (np, "float32", np.float64), (np, "int64", np.int32)]


def test_every_watched_name_is_changed_by_a_test():
    # a name the extension stopped watching would leave its patch unnoticed; one it added needs a case here
    assert set(watched_names()) == set(SPIED) | {(owner, name) for owner, name, _ in REBOUND}


@contextlib.contextmanager
def spy(owner, name):
    """The attribute, replaced by one that records its calls (reads, for a property) and does what it did."""
    real = inspect.getattr_static(owner, name)
    if isinstance(real, property):
        recorder = mock.Mock(side_effect=real.fget)
        with mock.patch.object(owner, name, property(recorder)):
            yield recorder
    elif isinstance(owner, type):  # a method: the spy must bind like a function
        with mock.patch.object(owner, name, autospec=True, side_effect=real) as recorder:
            yield recorder
    else:
        with mock.patch.object(owner, name, wraps=real) as recorder:
            yield recorder


@pytest.mark.parametrize("owner, name", SPIED, ids=lambda v: getattr(v, "__name__", v))
def test_patched_library_functions_record_the_library_calls(dr, det, owner, name):
    for image in (COLOUR, GREY):
        with spy(owner, name) as recorder:
            want = library_outcome(dr, lambda: det._preprocess(image))
            expected_calls = recorder.call_count
            recorder.reset_mock()
            got = outcome(lambda: det._preprocess(image))
            assert recorder.call_count == expected_calls >= 1
        assert_same_outcome(got, want)
        assert_same_outcome(got, reference_preprocess(image))


@pytest.mark.parametrize("owner, name, value", REBOUND, ids=lambda v: v if isinstance(v, str) else "")
def test_rebound_library_constants_change_results_as_on_the_library_path(dr, det, monkeypatch, owner, name, value):
    before = [det._preprocess(image) for image in (COLOUR, GREY)]
    monkeypatch.setattr(owner, name, value)
    changed = False
    for image, unpatched in zip((COLOUR, GREY), before):
        want = library_outcome(dr, lambda: det._preprocess(image))
        assert_same_outcome(outcome(lambda: det._preprocess(image)), want)
        changed |= any(a.dtype != b.dtype or a.shape != b.shape or not np.array_equal(a, b) for a, b in zip(want, unpatched))
    assert changed  # the rebinding matters to the library path, so a path that ignored it would fail


# A fused-path check that cannot read what it tests (a side too large for a C long, a watched name gone) answers
# no and leaves no error behind: the library path meets the failure itself.
@pytest.mark.parametrize("owner, name, value", [
    (None, "_INPUT_SIZE", 2**70), (cv2, "cvtColor", None), (Image.Image, "tobytes", None),
], ids=["huge-input-size", "cvtColor-deleted", "tobytes-deleted"])
def test_checks_that_fail_leave_the_outcome_to_the_library_path(dr, det, monkeypatch, owner, name, value):
    if value is None:
        monkeypatch.delattr(owner, name)
    else:
        monkeypatch.setattr(owner or dr, name, value)
    for image in (COLOUR, GREY):
        got, want = fused_and_library(dr, lambda: det._preprocess(image))
        assert is_error(want)
        assert_same_outcome(got, want)


# --- the arrays the native path writes into ---------------------------------------------------------

ALLOCATORS = {
    "too-small": "lambda shape, dtype=float: real(16, dtype)",
    "byte-swapped": "lambda shape, dtype=float: real(shape, np.dtype(dtype).newbyteorder('S'))",
    "integer-of-same-size": "lambda shape, dtype=float: real(shape, {4: np.int32, 2: np.int16}[np.dtype(dtype).itemsize])",
    "wider-items": "lambda shape, dtype=float: real(shape, np.float64)",
    "fortran-order": "lambda shape, dtype=float: real(shape, dtype, order='F')",
    "other-shape-same-size": "lambda shape, dtype=float: real(tuple(reversed(shape)), dtype)",
    "subclass": "lambda shape, dtype=float: real(shape, dtype).view(np.matrix if len(shape) == 2 else np.recarray)",
    "raising": "lambda shape, dtype=float: 1 / 0",  # the library path never calls it
}


@pytest.mark.parametrize("when, names", [("before-import", [name]) for name in ALLOCATORS] +
                         [("after-import", list(ALLOCATORS))],
                         ids=[f"before-import-{name}" for name in ALLOCATORS] + ["after-import-all"])
def test_hostile_numpy_empty_never_receives_writes(when, names):
    # A subprocess: before the fix these cases overflowed the heap.
    hostiles = ", ".join(f"{name!r}: {ALLOCATORS[name]}" for name in names)
    rc, out = run_py(f"""
        import numpy as np
        from helpers import reference_preprocess

        real = np.empty
        image = np.random.default_rng(1).integers(0, 256, (50, 60, 3), dtype=np.uint8)
        rx, rsizes = reference_preprocess(image)
        tensors = [rx, rx[0, 0, :7, :3].copy(), rx.ravel()[:1001]]
        halves = [t.astype(np.float16) for t in tensors]
        hostiles = {{{hostiles}}}
        if {when == "before-import"!r}:
            np.empty = next(iter(hostiles.values()))
        from quarn.inspection.detect import dfine_runner as dr

        class Session:
            def run(self, names, feed):
                self.images = feed["images"]
                return [real((1, 0), np.int64), real((1, 0, 4), np.float32), real((1, 0), np.float32)]

        for name, hostile in hostiles.items():
            np.empty = hostile
            det = dr.DfineDetector.__new__(dr.DfineDetector)
            det.session, det.names, det._image_dtype = Session(), {{}}, np.float16
            x, sizes = det._preprocess(image)
            assert type(x) is np.ndarray and x.dtype == np.float32 and x.flags.c_contiguous, (name, type(x), x.dtype)
            assert np.array_equal(x, rx) and np.array_equal(sizes, rsizes), name
            for tensor, half in zip(tensors, halves):
                det._preprocess = lambda image, tensor=tensor: (tensor, rsizes)
                det.detect(image)
                fed = det.session.images
                assert type(fed) is np.ndarray and fed.dtype == np.float16 and fed.shape == tensor.shape, name
                assert np.array_equal(fed.view(np.uint16), half.view(np.uint16)), name
            np.empty = real
        print("same as the library path")
    """)
    assert rc == 0 and "same as the library path" in out, out


def test_float32_rebound_to_bytes_changes_results_as_on_the_library_path():
    # A subprocess: before the fix the float32 planes were written into a buffer of bytes.
    rc, out = run_py("""
        import numpy as np
        from quarn.inspection.detect import dfine_runner as dr
        from helpers import library_path

        det = dr.DfineDetector.__new__(dr.DfineDetector)
        image = np.random.default_rng(1).integers(0, 256, (50, 60, 3), dtype=np.uint8)
        np.float32 = np.uint8
        x, sizes = det._preprocess(image)
        with library_path(dr):
            rx, rsizes = det._preprocess(image)
        assert x.dtype == rx.dtype == np.float64 and np.array_equal(x, rx) and np.array_equal(sizes, rsizes)
        print("same as the library path")
    """)
    assert rc == 0 and "same as the library path" in out, out


# --- images the kernel does not take ----------------------------------------------------------------

def huge(shape, strides):
    # Only shapes the library path rejects at once: OpenCV copies, or crashes on, many others.
    return lambda: as_strided(np.zeros(4, np.uint8), shape=shape, strides=strides)


@pytest.mark.parametrize("make", [
    huge((2**31, 1), (0, 0)), huge((2**40, 1), (0, 0)), huge((1, 2**40, 3), (0, 3, 1)), huge((1, 2**40, 4), (0, 4, 1)),
], ids=["2**31-rows", "2**40-rows", "2**40-columns-colour", "2**40-columns-bgra"])
def test_sides_beyond_the_kernel_take_the_library_path(dr, det, make):
    want = library_outcome(dr, lambda: det._preprocess(make()))
    assert_same_outcome(outcome(lambda: det._preprocess(make())), want)
    want = library_outcome(dr, lambda: det.detect(make()))
    got = outcome(lambda: det.detect(make()))
    assert got == want if isinstance(want, tuple) else got == want == []


def overlapping(shape, row_stride):
    base = np.arange(10000, dtype=np.uint8)[5000:]
    channels = shape[2] if len(shape) == 3 else 1
    strides = (row_stride, channels, 1)[: len(shape)]
    return as_strided(base, shape=shape, strides=strides)


def test_rows_that_overlap_have_the_library_outcome(dr, det):
    # On x86-64 OpenCV rejects this one with cv2.error; its aarch64 build accepts it.
    cases = [((4, 5, 3), 14)]
    for shape in [(2, 5, 3), (4, 5, 3), (3, 4, 4), (1, 5, 3), (4, 5), (6, 1, 3)]:
        row = shape[1] * (shape[2] if len(shape) == 3 else 1)
        cases += [(shape, stride) for stride in range(-row - 1, row + 2)]
    for shape, stride in cases:
        image = overlapping(shape, stride)
        want = library_outcome(dr, lambda: det._preprocess(image))
        assert_same_outcome(outcome(lambda: det._preprocess(image)), want)


# --- the Pillow release read at import --------------------------------------------------------------

# Only the releases whose pass order is known take the fused path; any other, later ones included, takes the
# library path with one INFO record saying so (`shown`: how it names the version).
@pytest.mark.parametrize("version, shown", [
    ("'13.0.0'", None), ("'12.1.1'", None),
    ("'14.0.0'", "14.0.0"), ("'13.1.0'", "13.1.0"), ("'12.4.0'", "12.4.0"), ("'8.4.0'", "8.4.0"),
    ("del", "(unreadable)"), ("None", "(unreadable)"), ("13", "(unreadable)"), ("b'13.0'", "(unreadable)"),
    ("'13'", "'13'"), ("'unknown'", "'unknown'"), ("'13.0.dev0' + '\\ud800'", "'13.0.dev0\\ud800'"),
])
def test_pillow_release_decides_the_path(version, shown):
    change = "del PIL.__version__" if version == "del" else f"PIL.__version__ = {version}"
    rc, out = run_py(f"""
        import logging, sys
        import numpy as np
        import PIL
        from PIL import Image
        {change}
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        logging.getLogger({LOGGER!r}).addHandler(handler)
        logging.getLogger({LOGGER!r}).setLevel(logging.INFO)
        from quarn.inspection.detect import dfine_runner as dr
        from helpers import reference_preprocess
        seen = []
        det = dr.DfineDetector.__new__(dr.DfineDetector)
        image = np.random.default_rng(1).integers(0, 256, (50, 60, 3), dtype=np.uint8)  # enlarged: every order alike
        sys.setprofile(lambda frame, event, arg: event == "call" and seen.append(frame.f_code.co_name))
        x, sizes = det._preprocess(image)
        sys.setprofile(None)
        rx, rsizes = reference_preprocess(image)
        assert np.array_equal(x, rx) and np.array_equal(sizes, rsizes)
        notes, shown = [(r.levelno, r.args[0], r.args[1]) for r in records], {shown!r}
        if shown is None:
            assert "fromarray" not in seen and notes == [], (seen, notes)
        else:
            assert "fromarray" in seen, seen
            assert notes == [(logging.INFO, shown, "9.0 to 12.3, 13.0")], notes
        print("checked")
    """)
    assert rc == 0 and "checked" in out, out

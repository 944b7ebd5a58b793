import numpy as np
import pytest

from helpers import IMPLEMENTATIONS, as_compiled, is_error, outcome, reference_preprocess

# Behaviour: the extension and its Python reference alike.
pytestmark = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)

SHAPES = [(480, 640, 3), (1080, 1920, 3), (640, 640, 3), (37, 101, 3), (2001, 3, 3), (700, 641, 3),
          (300, 200), (1, 1), (640, 640), (123, 77, 4)]


def image(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, size=shape, dtype=np.uint8)


@pytest.fixture
def det(dr):
    return dr.DfineDetector.__new__(dr.DfineDetector)


def assert_same(got, want):
    (x, sizes), (rx, rsizes) = got, want
    assert x.dtype == np.float32 and x.shape == (1, 3, 640, 640) and x.flags.c_contiguous
    assert np.array_equal(x, rx)
    assert sizes.dtype == np.int64 and np.array_equal(sizes, rsizes) and sizes.shape == (1, 2)


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_matches_library_computation(det, shape):
    img = image(shape)
    got = det._preprocess(img)
    assert_same(got, reference_preprocess(img))
    assert got[1].tolist() == [[shape[1], shape[0]]]


@pytest.mark.parametrize("make_img", [
    lambda: np.asfortranarray(image((301, 402, 3))), lambda: image((602, 402, 3))[::2, ::3],
    lambda: image((201, 333, 3))[::-1, ::-1], lambda: image((64, 48, 3))[..., ::-1], lambda: image((5, 7, 3)).T,
    lambda: image((90, 90, 1)), lambda: image((90, 90, 2)), lambda: image((30, 20)).astype(np.uint16),
    lambda: image((30, 20, 3)).astype(np.float32), lambda: image((30, 20, 3)).astype(np.int32),
], ids=["fortran", "strided", "flipped", "bgr-view", "transposed", "1-channel", "2-channel", "uint16", "float32",
        "int32"])
def test_unusual_inputs_follow_libraries(det, make_img):
    img = make_img()
    img.flags.writeable = False
    # the library's own error is the expected result
    got, want = outcome(lambda: det._preprocess(img)), outcome(lambda: reference_preprocess(img))
    if is_error(want):
        assert got == want
    else:
        assert_same(got, want)


@pytest.mark.parametrize("shape, message", [((5,), "need more than 1 value to unpack"),
                                            ((), "need more than 0 values to unpack")])
def test_too_few_dimensions(det, shape, message):
    with pytest.raises(ValueError) as ei:
        det._preprocess(np.zeros(shape, np.uint8))
    assert as_compiled(str(ei.value)) == message


class Recorder:
    """Forwards to a real module and records which attributes were called."""

    def __init__(self, target, calls):
        self._target, self._calls = target, calls

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value) or isinstance(value, type) or name.isupper():
            return value

        def call(*args, **kwargs):
            self._calls.append(name)
            return value(*args, **kwargs)
        return call


@pytest.mark.parametrize("attr, expected", [("cv2", ["cvtColor"]), ("Image", ["fromarray"]),
                                            ("np", ["asarray", "transpose", "ascontiguousarray", "array"])])
@pytest.mark.parametrize("shape", [(480, 640, 3), (99, 50)], ids=str)
def test_rebound_libraries_are_used(dr, det, monkeypatch, attr, expected, shape):
    img = image(shape, seed=2)
    det._preprocess(img)  # warm any fast path before rebinding
    calls = []
    monkeypatch.setattr(dr, attr, Recorder(getattr(dr, attr), calls))
    got = det._preprocess(img)
    assert calls == expected
    assert_same(got, reference_preprocess(img))

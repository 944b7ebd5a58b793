import numpy as np
import pytest

from helpers import IMPLEMENTATIONS, FakeSession, as_compiled, reference_preprocess

# Behaviour: the extension and its Python reference alike.
pytestmark = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)

IMG = np.full((48, 64, 3), 200, np.uint8)


def outputs(labels, boxes, scores):
    return [np.array([labels], np.int64), np.array([boxes], np.float32).reshape(1, -1, 4),
            np.array([scores], np.float32)]


@pytest.fixture
def make(dr):
    def build(outs=None, dtype=np.float32, error=None):
        det = dr.DfineDetector.__new__(dr.DfineDetector)
        det.session = FakeSession(outputs=outputs([], [], []) if outs is None else outs, error=error)
        det.names, det._image_dtype = dict(enumerate(dr.COCO80)), dtype
        det.pre = []
        real = det._preprocess

        def recording(image):  # instance attribute: detect must go through self._preprocess
            det.pre.append(real(image))
            return det.pre[-1]
        det._preprocess = recording
        return det
    return build


@pytest.mark.parametrize("image", [None, [[1, 2, 3]], np.zeros((0, 4, 3), np.uint8), np.zeros(0), "img"],
                         ids=["none", "list", "empty-2d", "empty-1d", "str"])
def test_rejects_empty_or_non_array(dr, make, image):
    det = make()
    with pytest.raises(dr.DetectError) as ei:
        det.detect(image)
    assert str(ei.value) == "detect input is empty or not an ndarray"
    assert ei.value.__cause__ is None and det.pre == [] and det.session.runs == []


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_feeds_preprocessed_inputs(make, dtype):
    det = make(dtype=dtype)
    assert det.detect(IMG) == []
    ((names, feed),) = det.session.runs
    x, sizes = det.pre[0]
    assert names is None and list(feed) == ["images", "orig_target_sizes"]
    assert feed["orig_target_sizes"] is sizes
    if dtype is np.float32:
        assert feed["images"] is x
    else:
        assert feed["images"].dtype == np.float16 and np.array_equal(feed["images"], x.astype(np.float16))
        assert x.dtype == np.float32


@pytest.mark.parametrize("outs, error, message", [
    ([np.zeros((1, 0))] * 4, None, "too many values to unpack (expected 3)"),
    ([np.zeros((1, 0))] * 2, None, "need more than 2 values to unpack"),
    ([np.zeros((1, 0))], None, "need more than 1 value to unpack"),
    (None, RuntimeError("[ONNXRuntimeError] : 2 : INVALID_ARGUMENT"), "[ONNXRuntimeError] : 2 : INVALID_ARGUMENT"),
    (None, MemoryError("oom"), "oom"),
])
def test_inference_errors_wrapped(dr, make, outs, error, message):
    with pytest.raises(dr.DetectError) as ei:
        make(outs, error=error).detect(IMG)
    assert as_compiled(str(ei.value)) == "detect inference failed: " + message
    assert ei.value.__cause__ is error if error else isinstance(ei.value.__cause__, ValueError)


def test_keyboard_interrupt_not_wrapped(make):
    exc = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as ei:
        make(error=exc).detect(IMG)
    assert ei.value is exc


def test_records(dr, make):
    det = make(outputs([62, 0, 80, 1, 5], [(12.9, -0.7, 640.99, 480.5), (1, 2, 3, 4), (-3.5, 0, 7.99, 8.01),
                                           (0, 0, 1, 1), (9, 9, 9, 9)], [0.9, 0.25, 0.5, 0.2499, 0.1]))
    got = det.detect(IMG, iou="unused")
    assert got == [dr.Detection(62, "tv", float(np.float32(0.9)), (12, 0, 640, 480)),
                   dr.Detection(0, "person", 0.25, (1, 2, 3, 4)),
                   dr.Detection(80, "80", 0.5, (-3, 0, 7, 8))]
    for d in got:
        assert type(d) is dr.Detection and d.obb is None
        assert (type(d.cls_id), type(d.cls_name), type(d.conf)) == (int, str, float)
        assert all(type(v) is int for v in d.xyxy) and type(d.xyxy) is tuple


@pytest.mark.parametrize("conf, kept", [(0.0, 4), (0.5, 3), (np.float32(0.75), 1), (1, 1), (1.5, 0), ("0.5", 3)])
def test_conf_threshold(make, conf, kept):
    det = make(outputs([1, 2, 3, 4], [(0, 0, 1, 1)] * 4, [0.1, 0.5, 0.7, 1.0]))
    assert [d.cls_id for d in det.detect(IMG, conf)] == [1, 2, 3, 4][4 - kept:]


def test_conf_none_fails_after_inference(make):
    det = make(outputs([1], [(0, 0, 1, 1)], [0.5]))
    with pytest.raises(TypeError):
        det.detect(IMG, None)
    assert len(det.session.runs) == 1


def test_custom_names(make):
    det = make(outputs([0, 3], [(0, 0, 1, 1)] * 2, [0.9, 0.9]))
    det.names = {0: "scratch"}
    assert [d.cls_name for d in det.detect(IMG)] == ["scratch", "3"]


@pytest.mark.parametrize("tag", ["f32", "f16"])
def test_end_to_end(dr, onnx_models, tag):
    det = dr.DfineDetector(str(getattr(onnx_models, tag)), "cpu")
    red = np.zeros((37, 100, 3), np.uint8)
    red[..., 2] = 255  # BGR input: only the R plane of "images" may be lit
    assert det.detect(red) == [dr.Detection(0, "person", 1.0, (0, 0, 100, 37))]
    img = np.random.default_rng(3).integers(0, 256, (333, 517, 3), dtype=np.uint8)
    img[..., 0] //= 4  # make the planes distinguishable
    means = reference_preprocess(img)[0][0].mean(axis=(1, 2), dtype=np.float64)
    got = det.detect(img, conf=0)
    assert [d.conf for d in got] == pytest.approx(means.tolist(), abs=1e-5 if tag == "f32" else 2e-3)
    assert [(d.cls_id, d.xyxy) for d in got] == [(i, (0, 0, 517, 333)) for i in range(3)]

import threading
import time
from unittest import mock

import numpy as np
import pytest

from helpers import IMPLEMENTATIONS, FakeWeights

# Behaviour: the extension and its Python reference alike.
pytestmark = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)


@pytest.fixture
def fake_detector(dr, monkeypatch):
    """Replaces DfineDetector with a recorder; fail > 0 makes that many constructions raise."""
    class Fake:
        made, fail, delay, lock_held = [], 0, 0.0, []

        def __init__(self, *args, **kwargs):
            Fake.lock_held.append(dr._LOCK.locked())
            time.sleep(Fake.delay)
            if Fake.fail:
                Fake.fail -= 1
                raise OSError("cannot load")
            Fake.made.append((args, kwargs))
    monkeypatch.setattr(dr, "DfineDetector", Fake)
    return Fake


@pytest.mark.parametrize("kwargs, key, args", [
    ({}, ("dfine_m_coco.onnx", "auto"), ("dfine_m_coco.onnx", None)),
    ({"device": ""}, ("dfine_m_coco.onnx", "auto"), ("dfine_m_coco.onnx", None)),
    ({"model": "a.onnx", "device": "auto"}, ("a.onnx", "auto"), ("a.onnx", None)),
    ({"model": "a.onnx", "device": "cpu"}, ("a.onnx", "cpu"), ("a.onnx", "cpu")),
    ({"device": "cuda"}, ("dfine_m_coco.onnx", "cuda"), ("dfine_m_coco.onnx", "cuda")),
])
def test_cache_key_and_construction(dr, fake_detector, kwargs, key, args):
    det = dr.get_detector(**kwargs)
    assert dr._CACHE == {key: det} and fake_detector.made == [(args, {})]
    assert fake_detector.lock_held == [True] and not dr._LOCK.locked()
    assert dr.get_detector(**kwargs) is det and len(fake_detector.made) == 1


def test_failed_construction_is_retried(dr, fake_detector):
    fake_detector.fail = 1
    with pytest.raises(OSError, match="cannot load"):
        dr.get_detector()
    assert dr._CACHE == {} and not dr._LOCK.locked() and fake_detector.made == []
    det = dr.get_detector()
    assert dr._CACHE == {("dfine_m_coco.onnx", "auto"): det} and len(fake_detector.made) == 1


def test_device_truth_test_error_raised_before_lock(dr, fake_detector, monkeypatch):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    monkeypatch.setattr(dr, "_LOCK", mock.MagicMock())  # records whether the rebound lock is entered
    with pytest.raises(ZeroDivisionError, match="no truth"):
        dr.get_detector("m.onnx", Bad())
    assert dr._LOCK.__enter__.call_count == 0 and fake_detector.made == [] and dr._CACHE == {}
    dr.get_detector("m.onnx", "cpu")
    assert (dr._LOCK.__enter__.call_count, dr._LOCK.__exit__.call_count) == (1, 1)


def test_threads_construct_once(dr, fake_detector):
    fake_detector.delay = 0.05
    barrier, results = threading.Barrier(16), []

    def worker():
        barrier.wait()
        results.append(dr.get_detector("m.onnx", "cpu"))
    threads = [threading.Thread(target=worker) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(results) == 16 and len({id(r) for r in results}) == 1
    assert len(fake_detector.made) == 1 and dr._CACHE == {("m.onnx", "cpu"): results[0]}


@pytest.mark.parametrize("answer", [True, False, 0, "yes"])
def test_probes_return_weights_answer(dr, monkeypatch, answer):
    w = FakeWeights(answer=answer)
    monkeypatch.setattr(dr, "weights", w)
    assert dr.is_available("site.onnx") is answer
    assert dr.available() is answer
    assert w.calls == [("available", "detect", "site.onnx"), ("available", "detect", "dfine_m_coco.onnx")]


def test_get_detector_end_to_end(dr, onnx_models, monkeypatch):
    monkeypatch.setenv("QUARN_WEIGHTS_DIR", str(onnx_models.root))
    det = dr.get_detector(onnx_models.f32.name, "cpu")
    assert type(det) is dr.DfineDetector and det.model == onnx_models.f32.name
    assert dr.get_detector(onnx_models.f32.name, "cpu") is det
    green = np.zeros((10, 20, 3), np.uint8)
    green[..., 1] = 255
    assert det.detect(green) == [dr.Detection(1, "bicycle", 1.0, (0, 0, 20, 10))]
    with pytest.raises(dr.DetectError, match="'missing.onnx' for component 'detect' was not found"):
        dr.get_detector("missing.onnx")
    assert list(dr._CACHE) == [(onnx_models.f32.name, "cpu")]

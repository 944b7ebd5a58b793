"""The model contract against what it describes: ONNX Runtime's and onnx's names for the element types, and the
module (compiled, and its Python reference), which feeds and reads every model by it."""

import numpy as np
import pytest

from helpers import IMPLEMENTATIONS
from quarn.inspection.detect import contract as c

on_both = pytest.mark.parametrize("dr", IMPLEMENTATIONS, indirect=True)


def test_element_types_are_the_runtimes_and_onnxs(onnx_models):
    ort = pytest.importorskip("onnxruntime")
    helper = pytest.importorskip("onnx.helper")
    for element in (c.FLOAT, c.FLOAT16, c.INT64):
        assert helper.tensor_dtype_to_np_dtype(element.onnx) == np.dtype(element.numpy)
    # the stand-in models are built with onnx's own numbers; ONNX Runtime names them
    for path, image in ((onnx_models.f32, c.FLOAT), (onnx_models.f16, c.FLOAT16)):
        session = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
        declared = [(a.name, a.type, len(a.shape)) for a in (*session.get_inputs(), *session.get_outputs())]
        elements = (image, c.INT64, c.INT64, c.FLOAT, c.FLOAT)
        assert declared == [(t.name, e.ort, t.rank) for t, e in zip((*c.INPUTS, *c.OUTPUTS), elements)]


@on_both
def test_module_constants_are_the_contracts(dr):
    assert (dr._INPUT_SIZE, dr.DEFAULT_WEIGHTS, dr._MODULE, dr.COCO80) == (
        c.INPUT_SIZE, c.DEFAULT_MODEL, c.COMPONENT, c.COCO80)


@on_both
@pytest.mark.parametrize("image", c.IMAGES.elements, ids=lambda e: e.numpy)
def test_module_feeds_and_reads_models_by_the_contract(dr, fake_ort, fake_weights, image):
    by_name = {c.LABELS.name: np.array([[7]], np.int64), c.BOXES.name: np.array([[[1, 2, 3, 4]]], np.float32),
               c.SCORES.name: np.array([[0.9]], np.float32)}
    ort = fake_ort(input_type=image.ort, outputs=[by_name[name] for name in c.OUTPUT_NAMES])
    fake_weights()
    det = dr.DfineDetector("m.onnx", "cpu")
    found = det.detect(np.zeros((30, 40, 3), np.uint8), conf=0.5)

    ((names, feed),) = ort.sessions[0].runs
    assert names is None and list(feed) == list(c.INPUT_NAMES)
    for tensor, element, value in zip(c.INPUTS, (image, c.INT64), feed.values()):
        assert value.dtype == np.dtype(element.numpy) and value.shape == (1, *tensor.dims), tensor.name
    assert feed[c.ORIG_TARGET_SIZES.name].tolist() == [[40, 30]]
    # each output is read as the one its position names
    assert [(d.cls_id, d.xyxy, d.conf) for d in found] == [(7, (1, 2, 3, 4), float(np.float32(0.9)))]

    ort.sessions[0].outputs.append(by_name[c.SCORES.name])  # one output more than the contract's
    with pytest.raises(dr.DetectError) as caught:
        det.detect(np.zeros((30, 40, 3), np.uint8))
    assert str(caught.value.__cause__) == f"too many values to unpack (expected {len(c.OUTPUTS)})"

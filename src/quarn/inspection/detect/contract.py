"""The model the detector loads, stated once.

What ``dfine_runner`` feeds a model and reads back: the inputs and outputs in
order, their element types, ranks and fixed sizes, the side of the square
network input, and how many query x class pairs the graph's post-processing
keeps; the names of the raw export that ``quarn-detect-model adapt`` turns
into this form; and where the default model is installed.

The command line's ``--check``, ``quarn-detect-model``, ``tools/export_dfine.py``
and the tests read it, and a test holds the compiled module to it.  It
imports nothing beyond the standard library, so the tools use it without
loading the extension, ONNX Runtime or onnx.
"""

from __future__ import annotations

from dataclasses import dataclass

__all__ = [
    "BOXES", "COCO_CLASSES", "COMPONENT", "DEFAULT_MODEL", "FLOAT", "FLOAT16", "IMAGES", "INPUTS", "INPUT_NAMES",
    "INPUT_SIZE", "INT64", "LABELS", "ORIG_TARGET_SIZES", "OUTPUTS", "OUTPUT_NAMES", "RAW_BOXES", "RAW_IMAGE",
    "RAW_LOGITS", "SCORES", "TOP_K", "Element", "Tensor",
]


@dataclass(frozen=True)
class Element:
    """A tensor element type under the three names the tools meet it by."""

    ort: str  # ONNX Runtime's NodeArg.type
    onnx: int  # onnx.TensorProto.DataType, as graphs store it
    numpy: str  # numpy's dtype name


FLOAT = Element("tensor(float)", 1, "float32")
FLOAT16 = Element("tensor(float16)", 10, "float16")
INT64 = Element("tensor(int64)", 7, "int64")


@dataclass(frozen=True)
class Tensor:
    """One input or output of the graph.

    ``elements``: the element types it may have, the usual one first.
    ``dims``: the sizes of its last axes; the batch axis in front and any axis
    not given are the model's to choose.
    """

    name: str
    elements: tuple[Element, ...]
    rank: int
    dims: tuple[int, ...] = ()


INPUT_SIZE = 640  # side of the square network input, in pixels (dfine_runner's _INPUT_SIZE)
TOP_K = 300  # query x class pairs the post-processing keeps (fewer when the model has fewer)
COCO_CLASSES = 80  # entries of dfine_runner's COCO80, which names the labels

# images: RGB planes, values k / 255, float16 for a model that declares it; orig_target_sizes: [[width, height]].
IMAGES = Tensor("images", (FLOAT, FLOAT16), 4, (3, INPUT_SIZE, INPUT_SIZE))
ORIG_TARGET_SIZES = Tensor("orig_target_sizes", (INT64,), 2, (2,))
# labels: 0-based class indices; boxes: x1 y1 x2 y2 in the original image's pixels; scores: one per pair.
LABELS = Tensor("labels", (INT64,), 2)
BOXES = Tensor("boxes", (FLOAT,), 3, (4,))
SCORES = Tensor("scores", (FLOAT,), 2)

INPUTS = (IMAGES, ORIG_TARGET_SIZES)  # fed by name
OUTPUTS = (LABELS, BOXES, SCORES)  # read by position, in this order
INPUT_NAMES = tuple(t.name for t in INPUTS)
OUTPUT_NAMES = tuple(t.name for t in OUTPUTS)

# The bare network as transformers-based exporters publish it: the image in, then
# class logits [B, Q, C] and boxes [B, Q, 4] (normalised cx cy w h), without the post-processing.
RAW_IMAGE, RAW_LOGITS, RAW_BOXES = "pixel_values", "logits", "pred_boxes"

# The default model is found as COMPONENT/DEFAULT_MODEL under the model folders
# (dfine_runner's _MODULE and DEFAULT_WEIGHTS).
COMPONENT = "detect"
DEFAULT_MODEL = "dfine_m_coco.onnx"

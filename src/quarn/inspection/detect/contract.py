"""The model the detector loads, stated once.

What ``dfine_runner`` feeds a model and reads back: the inputs and outputs in
order, their element types, ranks and fixed sizes, the side of the square
network input, and how many query x class pairs the graph's post-processing
keeps; the names of the raw export that ``quarn-detect-model adapt`` turns
into this form; where the default model is installed; the 80 COCO class names
and the metadata keys under which a model carries its own names and class count.

The command line's ``--check``, ``quarn-detect-model``, ``tools/export_dfine.py``
and the tests read it, and a test holds the compiled module to it.  It
imports nothing beyond the standard library, so the tools use it without
loading the extension, ONNX Runtime or onnx.
"""

from __future__ import annotations

from dataclasses import dataclass

__all__ = [
    "BOXES", "CLASSES_KEY", "COCO80", "COCO_CLASSES", "COMPONENT", "DEFAULT_MODEL", "FLOAT", "FLOAT16", "IMAGES",
    "INPUTS", "INPUT_NAMES", "INPUT_SIZE", "INT64", "LABELS", "NAMES_KEY", "ORIG_TARGET_SIZES", "OUTPUTS",
    "OUTPUT_NAMES", "RAW_BOXES", "RAW_IMAGE", "RAW_LOGITS", "SCORES", "TOP_K", "WEIGHTS_KEY", "Element", "Tensor",
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
# The 80 COCO class names, index = label: dfine_runner's COCO80, stated here for the tools, which run
# without the extension (a test holds the two equal).  Models that declare no names of their own get these.
COCO80 = (
    "person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck", "boat", "traffic light",
    "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat", "dog", "horse", "sheep", "cow",
    "elephant", "bear", "zebra", "giraffe", "backpack", "umbrella", "handbag", "tie", "suitcase", "frisbee",
    "skis", "snowboard", "sports ball", "kite", "baseball bat", "baseball glove", "skateboard", "surfboard",
    "tennis racket", "bottle", "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple",
    "sandwich", "orange", "broccoli", "carrot", "hot dog", "pizza", "donut", "cake", "chair", "couch",
    "potted plant", "bed", "dining table", "toilet", "tv", "laptop", "mouse", "remote", "keyboard", "cell phone",
    "microwave", "oven", "toaster", "sink", "refrigerator", "book", "clock", "vase", "scissors", "teddy bear",
    "hair drier", "toothbrush",
)
COCO_CLASSES = len(COCO80)
# The model's own class names: ONNX metadata under this key, a JSON list of names (index = label) or an object
# from decimal class id to name.  quarn-detect-model writes it; the detector and quarn-detect read it.
NAMES_KEY = "names"
CLASSES_KEY = "quarn:classes"  # the model's class count, written by quarn-detect-model; --check compares the names with it
WEIGHTS_KEY = "quarn:weights"  # where the weights came from, written by the export tool; "untrained" for random ones

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

"""What the detector loads, as this tool writes it.

The detector's component key and default model name (dfine_runner's _MODULE
and DEFAULT_WEIGHTS), its inputs and outputs, and the raw export's names;
kept here so the tool runs without loading the extension.
"""

COMPONENT = "detect"
DEFAULT_NAME = "dfine_m_coco.onnx"
TOP_K = 300
COCO_CLASSES = 80
IMAGE_SIZE = 640

RAW_IMAGE, RAW_LOGITS, RAW_BOXES = "pixel_values", "logits", "pred_boxes"
CONTRACT_INPUTS = ("images", "orig_target_sizes")
CONTRACT_OUTPUTS = ("labels", "boxes", "scores")

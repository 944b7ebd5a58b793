"""D-FINE object detection through ONNX Runtime: one image in, a list of ``Detection`` records out.

The model is an ONNX graph with its post-processing inside (inputs ``images``
and ``orig_target_sizes``; outputs ``labels``, ``boxes``, ``scores``), found by
name through ``quarn.weights`` under the component key ``"detect"``.  The
module produces boxes and judges nothing.  Type information for the C++
extension; the docstrings here are the English documentation of its API.
"""

import logging
import threading
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

DEFAULT_WEIGHTS: Final = "dfine_m_coco.onnx"
"""File name of the default model, looked up as ``detect/dfine_m_coco.onnx`` under the model folders."""

COCO80: tuple[str, ...]
"""The 80 COCO class names, 0-based: ``COCO80[label]`` names the labels of a model that declares no names of its
own (``COCO80[0] == "person"``)."""

_CACHE: dict[tuple[str, str], DfineDetector]
_LOCK: threading.Lock

logger: logging.Logger
"""The logger ``"quarn.detect.dfine"``: INFO when a model is loaded; WARNING when CUDA was asked for but is not in use,
and when a model declares class names that cannot be used."""

class DetectError(RuntimeError):
    """A failure the user can act on.

    Raised by ``detect`` for an input that is not a non-empty numpy array and,
    with the underlying exception as ``__cause__``, when inference fails; by
    ``DfineDetector`` and ``get_detector`` when ONNX Runtime is not installed,
    the model file cannot be found (the message names every place searched), or
    a thread setting (``QUARN_ORT_THREADS``, ``QUARN_ORT_INTER_THREADS``,
    ``QUARN_ORT_SPIN``) holds a value it cannot take (the message names both).
    """

@dataclass
class Detection:
    """One detected object.  Records compare by value and are not hashable."""

    cls_id: int
    """The model's 0-based class label, as the graph gives it."""
    cls_name: str
    """The detector's ``names[cls_id]``; the label's decimal text for labels it does not name."""
    conf: float
    """The score, 0..1."""
    xyxy: tuple[int, int, int, int]
    """Corners (x1, y1, x2, y2) in the original image's pixels, truncated toward zero, not clipped."""
    obb: tuple[float, ...] | None = None
    """Oriented box; always None from this detector."""

class DfineDetector:
    """One loaded model: an ONNX Runtime session and what detection needs.

    Loading is expensive; build one per model and device and share it, which
    is what ``get_detector`` does.
    """

    model: str
    """The model name or path as given, not the resolved file."""
    session: Any  # onnxruntime.InferenceSession
    """The ONNX Runtime session on the model file."""
    provider: str
    """The execution provider in use, e.g. ``"CPUExecutionProvider"``."""
    device: str
    """``"cuda"`` or ``"cpu"``: the device in use, which may differ from the one asked for."""
    names: dict[int, str]
    """Label to class name: the names the model declares in its metadata (key ``names``), else ``COCO80``'s."""
    _image_dtype: type[np.floating[Any]]
    def __init__(self, model: str = "dfine_m_coco.onnx", device: str | None = None) -> None:
        """Load ``model`` (a bare file name, looked up under the model folders, or a path) on ``device``.

        ``device``: None or ``"auto"`` uses CUDA when ONNX Runtime offers it, else
        the CPU; ``"cpu"`` forces the CPU; ``"cuda"`` asks for CUDA and logs a
        warning when it is not available.  Raises ``DetectError`` when ONNX
        Runtime is missing, the model file is not found or a thread setting is
        invalid; ONNX Runtime's own error when the file is not a loadable model.

        The class names come from the model's metadata entry ``names`` (a JSON
        list, or an object from class id to name) when it has one, else from
        ``COCO80``; a declaration that cannot be used is ignored with a warning.
        The session is made with ONNX Runtime's defaults unless the environment
        sets ``QUARN_ORT_THREADS`` (threads per inference, 1 to 1024),
        ``QUARN_ORT_INTER_THREADS`` (1 to 1024) or ``QUARN_ORT_SPIN`` (``0``: idle
        threads sleep instead of busy-waiting; ``1``: they busy-wait, the default).
        """
    def _preprocess(self, image: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
        """The network inputs for ``image``: 1 x 3 x 640 x 640 RGB float32 in 0..1, and ``[[width, height]]``."""
    def detect(self, image: npt.NDArray[Any], conf: float = 0.25, iou: float = 0.45) -> list[Detection]:
        """Detect the objects in one image.

        ``image`` is an 8-bit numpy array in OpenCV's order: BGR ``H x W x 3``,
        BGRA ``H x W x 4`` (alpha ignored) or grey ``H x W``.  An RGB array is
        taken for BGR all the same and gives other detections: convert it
        with ``cv2.cvtColor(image, cv2.COLOR_RGB2BGR)``.  Nothing is scaled:
        float32 and uint16 arrays raise Pillow's TypeError, other element
        types OpenCV's ``cv2.error``; bring them to 8 bits first.
        Returns the records whose score is at least ``conf``, in the model's
        output order (not re-sorted), with boxes in the image's own pixels,
        named by ``names``.
        ``iou`` is accepted and not used: D-FINE needs no non-maximum
        suppression, and the parameter stays for callers' settings.

        Raises ``DetectError`` for an input that is not a non-empty numpy array
        and when inference fails (the cause attached).  A ``conf`` that
        ``float()`` rejects raises TypeError or ValueError.
        """

def get_detector(model: str = "dfine_m_coco.onnx", device: str | None = None) -> DfineDetector:
    """The shared detector for ``(model, device)``, loaded on the first request and kept for the process.

    The cache key is ``(model, device or "auto")``: the strings as given, so
    None, ``""`` and ``"auto"`` share one detector, while ``"cuda"`` and
    ``"CUDA"``, or a bare name and a path to the same file, are separate
    entries.  Thread-safe; concurrent first requests load the model once.
    Errors of ``DfineDetector`` reach the caller and cache nothing.
    """

def is_available(model: str = "dfine_m_coco.onnx") -> bool:
    """Whether the model file can be found; loads nothing (for diagnostics and display)."""

def available() -> bool:
    """Whether the default model file is present, i.e. whether detection can be offered; loads nothing."""

def _providers(device: str | None) -> list[str]:
    """The ONNX Runtime providers to request for ``device``, CPU last."""

def _declared_names(session: object, model_file: str) -> dict[int, str] | None:
    """The class names the model's metadata declares (key ``names``), or None; an unusable declaration is logged."""

def _session_options(ort: object) -> dict[str, object]:
    """The session's keyword arguments from the thread settings in the environment; empty when none is set."""

"""Type information for the ``dfine_runner`` C++ extension (D-FINE detection through ONNX Runtime)."""

import logging
import threading
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

DEFAULT_WEIGHTS: Final = "dfine_m_coco.onnx"
COCO80: tuple[str, ...]
_CACHE: dict[tuple[str, str], DfineDetector]
_LOCK: threading.Lock
logger: logging.Logger

class DetectError(RuntimeError):
    """Bad input, failed inference, a missing model file or a missing ONNX Runtime."""

@dataclass
class Detection:
    cls_id: int
    cls_name: str
    conf: float
    xyxy: tuple[int, int, int, int]
    obb: tuple[float, ...] | None = None

class DfineDetector:
    model: str
    session: Any  # onnxruntime.InferenceSession
    provider: str
    device: str
    names: dict[int, str]
    _image_dtype: type[np.floating[Any]]
    def __init__(self, model: str = "dfine_m_coco.onnx", device: str | None = None) -> None: ...
    def _preprocess(self, image: npt.NDArray[Any]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...
    def detect(self, image: npt.NDArray[Any], conf: float = 0.25, iou: float = 0.45) -> list[Detection]: ...

def get_detector(model: str = "dfine_m_coco.onnx", device: str | None = None) -> DfineDetector: ...
def is_available(model: str = "dfine_m_coco.onnx") -> bool: ...
def available() -> bool: ...
def _providers(device: str | None) -> list[str]: ...

"""D-FINE object detection through ONNX Runtime.

The shared detection back end of the inspection package: it produces boxes
with a class and a score and judges nothing; the package's `detect`
inspector decides OK or NG. Like the PatchCore backbone module, it loads a
model once and keeps it in a module-level cache.

Design decisions:

1. The detector runs from an ONNX export through ONNX Runtime. It replaced
   a YOLO detector run through the `ultralytics` package, which pulls in the
   full OpenCV build (conflicting with the headless one) and moves numpy to
   an arbitrary version; installing it without its dependencies cannot be
   expressed in package metadata, and the package must install with a
   single `pip install quarn`. So this module depends only on onnxruntime,
   numpy, Pillow and OpenCV, never on a detection framework.
2. The detector is a per-site asset: what is detected differs from site to
   site, and the vendor fine-tunes the model and ships it as an ONNX file.
   Model files are found by name through `quarn.weights`; none is built in.
3. The ONNX graph contains the model's post-processing: `labels`, `boxes`
   and `scores` come out in the original image's coordinates. NMS and the
   mapping back to the original image are not redone in numpy; any such
   re-implementation would be a source of numerical mismatch.
4. Labels are 0-based indices into an 80-class table, not COCO's 91
   category ids: the deploy-mode post-processor returns labels before the
   remap step, so nothing is remapped and `COCO80` is 0-based. A wrong
   table would shift every class name silently.
"""
# The module in plain Python, for the tests only; the extension is held to it.
# The behaviour tests run on both, a parity test compares their outcomes (with
# causes, contexts, traceback entries and log records), and an AST test checks
# that each statement line the extension's tables name holds that statement
# here: statements sit on the extension's lines, comments fill the gaps.  Line
# 163 in _preprocess is the extension's fused native pass, which gives this
# method's result in one step when it can: a comment here.  A failed unpack is
# worded by the interpreter ("not enough values to unpack (expected 3, got 2)",
# "cannot unpack non-iterable int object"), the extension words it as compiled
# modules do ("need more than 2 values to unpack", "'int' object is not ...").

import logging
import threading
from dataclasses import dataclass

import cv2
import numpy as np
from PIL import Image

from quarn import weights

logger = logging.getLogger("quarn.detect.dfine")

DEFAULT_WEIGHTS = "dfine_m_coco.onnx"
_MODULE = "detect"
_INPUT_SIZE = 640

COCO80 = (
    "person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck",
    "boat", "traffic light", "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat",
    "dog", "horse", "sheep", "cow", "elephant", "bear", "zebra", "giraffe",
    "backpack", "umbrella", "handbag", "tie", "suitcase", "frisbee", "skis", "snowboard",
    "sports ball", "kite", "baseball bat", "baseball glove", "skateboard", "surfboard", "tennis racket", "bottle",
    "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple",
    "sandwich", "orange", "broccoli", "carrot", "hot dog", "pizza", "donut", "cake",
    "chair", "couch", "potted plant", "bed", "dining table", "toilet", "tv", "laptop",
    "mouse", "remote", "keyboard", "cell phone", "microwave", "oven", "toaster", "sink",
    "refrigerator", "book", "clock", "vase", "scissors", "teddy bear", "hair drier", "toothbrush",
)
_CACHE = {}
_LOCK = threading.Lock()


class DetectError(RuntimeError):
    """검출기 로드/추론 오류 (모델 파일 부재·onnxruntime 미설치 등)."""

@dataclass
class Detection:
    """검출 결과 1건.

    xyxy 는 원본 이미지 픽셀 좌표(정수)다. obb 는 회전 박스(꼭짓점 4개, float 8개)로,
    D-FINE 은 DETR 계열이라 축 정렬 박스만 내므로 항상 None 이다. 패키지의 crop
    단계가 obb 로 분기하고 None 이면 축 정렬 박스로 되돌아가므로 필드를 둔다.
    회전 정렬이 정말 필요해지면 이 검출기를 늘리지 말고, 회전 박스 검출기를
    플러그인으로 따로 더한다.
    """

    cls_id: "int"
    cls_name: "str"
    conf: "float"
    xyxy: "tuple[int, int, int, int]"
    obb: "tuple[float, ...] | None" = None


# The probes load nothing: a model counts as usable when its file is there.


def is_available(model: "str" = DEFAULT_WEIGHTS) -> "bool":
    """모델 파일이 있는지만 본다(doctor·UI 표시용). 로드하지 않는다."""
    # The same weights module, key and model string as construction, so the
    # answer is about exactly the file get_detector would load.
    return weights.available(_MODULE, model)
def _providers(device: "str | None") -> "list[str]":
    """patchcore/backbone 와 같은 규칙. 실제 provider 는 세션 생성 뒤에 읽는다."""
    import onnxruntime as ort

    if device == "cpu":
        return ["CPUExecutionProvider"]
    if "CUDAExecutionProvider" in set(ort.get_available_providers()):
        return ["CUDAExecutionProvider", "CPUExecutionProvider"]
    # No CUDA provider: only a request for CUDA by name is worth a warning.
    if device == "cuda":
        logger.warning("CUDA requested but onnxruntime-gpu is not installed; running on CPU")
    return ["CPUExecutionProvider"]

class DfineDetector:
    """D-FINE ONNX 래퍼. 무거우므로 get_detector() 로 1회만 생성한다."""

    def __init__(self, model: "str" = DEFAULT_WEIGHTS, device: "str | None" = None) -> "None":
        try:
            import onnxruntime as ort
        except ImportError as exc:
            raise DetectError("onnxruntime is required. Reinstall: pip install quarn") from exc
        try:
            path = weights.model_path(_MODULE, model)
        except weights.WeightsNotFound as exc:
            raise DetectError(str(exc)) from exc

        self.model = model
        requested = _providers(device)
        self.session = ort.InferenceSession(str(path), providers=requested, **_session_options(ort))
        # ONNX Runtime falls back to the CPU by itself: read what is in use.
        actual = self.session.get_providers()
        self.provider = actual[0] if actual else "CPUExecutionProvider"
        self.device = "cuda" if self.provider.startswith(("CUDA", "Tensorrt")) else "cpu"
        if requested[0] != self.provider:
            logger.warning("%s requested but %s is in use — CUDA runtime (cuBLAS/cuDNN) may be missing", requested[0], self.provider)
            # Typically CUDA was asked for and its provider could not load
            # (cuBLAS or cuDNN missing): the detector still runs, on the CPU.
            # The values go in as logging arguments, formatted only when a
            # handler takes the record.

        logger.info("D-FINE ONNX loaded: %s (%s)", path.name, self.provider)
        self.names = _declared_names(self.session, path.name) or dict(enumerate(COCO80))
        t = self.session.get_inputs()[0].type
        self._image_dtype = np.float16 if "float16" in t else np.float32

    # The network inputs, in float32 whatever the model's input type: detect
    # narrows the tensor afterwards, so a half-precision model rounds once.
    def _preprocess(self, image: "np.ndarray") -> "tuple[np.ndarray, np.ndarray]":
        """BGR(또는 grey) 이미지 → 네트워크 입력 두 개.

        Returns the image tensor (float32, 1 x 3 x 640 x 640, planes R, G, B,
        values k / 255 of the resized 8-bit pixels, C-contiguous) and
        orig_target_sizes (int64 [[width, height]] of the input image).

        The image is stretched (no letterbox) with Pillow's BILINEAR resize, the
        filter the model was trained and evaluated with: its support widens when
        shrinking, so reductions are antialiased. OpenCV's INTER_LINEAR and
        INTER_AREA give other pixels and change the detections. No mean/std
        normalisation: the model expects plain 0..1 inputs.
        """
        # Only the number of dimensions picks the conversion; the channel count
        # is left to OpenCV.
        # (the extension's fused native pass: this method's result in one step)
        h, w = image.shape[:2]
        if image.ndim == 3:
            rgb = cv2.cvtColor(image, cv2.COLOR_BGR2RGB)
        else:
            rgb = cv2.cvtColor(image, cv2.COLOR_GRAY2RGB)
        resized = Image.fromarray(rgb).resize((_INPUT_SIZE, _INPUT_SIZE), Image.BILINEAR)
        arr = np.asarray(resized, dtype=np.float32) / 255.0
        arr = np.transpose(arr, (2, 0, 1))[None, ...]
        return np.ascontiguousarray(arr), np.array([[w, h]], dtype=np.int64)

    # Pillow's resize, not OpenCV's: on 38 site images INTER_LINEAR changed the
    # number of detections on 26 and INTER_AREA on 23, with boxes that no
    # longer overlapped the reference ones at all.  Moving the resize into the
    # graph (ONNX Resize antialiases from opset 18) would win the time back.
    #
    # detect below selects and converts rows only: the graph has already done
    # the post-processing (no NMS, no mapping back to the original image here),
    # and its labels index COCO80 as they are.
    # Nothing is locked: threads sharing a detector reach its session at once.

    def detect(self, image: "np.ndarray", conf: "float" = 0.25, iou: "float" = 0.45) -> "list[Detection]":
        """이미지 1장 → 검출 리스트. conf 미만은 버린다.

        iou 는 받기만 하고 쓰지 않는다. D-FINE 은 DETR 계열이라 NMS 가 없고(쿼리가
        처음부터 중복 없이 나온다) 후처리는 그래프 안에 있다. 호출하는 detect 검사기의
        설정 스키마를 바꾸지 않으려고 인자만 남겨 둔다.
        """
        # Element type, shape and dimensions are left to preprocessing; only
        # what cannot be an image at all is refused here, without a cause, and
        # nothing else runs.

        if not isinstance(image, np.ndarray) or image.size == 0:
            raise DetectError("detect input is empty or not an ndarray")

        x, sizes = self._preprocess(image)
        x = x.astype(self._image_dtype, copy=False)
        try:
            session, feed = self.session, {"images": x, "orig_target_sizes": sizes}
            # All outputs, in the model's order: labels, boxes, scores.
            labels, boxes, scores = session.run(None, feed)
        except Exception as exc:
            raise DetectError(f"detect inference failed: {exc!s}") from exc

        labels, boxes, scores = labels[0], boxes[0], scores[0]
        keep = scores >= float(conf)
        result = []
        for cls_id, box, score in zip(labels[keep], boxes[keep], scores[keep]):
            # Plain ints and floats, boxes truncated toward zero and not
            # clipped; a label outside the table is named by its number and
            # kept as it is.
            x1, y1, x2, y2 = box
            cid = int(cls_id)
            name, confidence, xyxy = self.names.get(cid, str(cid)), float(score), (int(x1), int(y1), int(x2), int(y2))
            detection = Detection(cls_id=cid, cls_name=name, conf=confidence, xyxy=xyxy)
            result.append(detection)
        return result


# One detector per model and device for the whole process, never evicted.
# _LOCK is held from the look-up through the construction to the final read,
# so concurrent first requests build one detector, and every other request
# waits meanwhile.  It is not reentrant: construction must not come back here.
def get_detector(model: "str" = DEFAULT_WEIGHTS, device: "str | None" = None) -> "DfineDetector":
    """전역 싱글턴 검출기를 돌려준다. 무거운 모델 로드는 1회만 한다."""
    device_key = device if device else "auto"
    key = (model, device_key)
    with _LOCK:
        # Stored only once construction has returned; a failure leaves no entry.
        if key not in _CACHE:
            detector = DfineDetector(model, None if device_key == "auto" else device_key)
            _CACHE[key] = detector
        return _CACHE[key]
def available() -> "bool":
    """검출기를 쓸 수 있는지(진단·UI 표시용)."""
    return is_available()


# Construction's two readings of the world outside its arguments: the class
# names the model file declares, and the station's thread settings.  Both are
# opt-in: a model that declares no names and a process that sets nothing get
# the detector they always got.


def _declared_names(session: "object", model_file: "str") -> "dict[int, str] | None":
    """The class names the model declares in its metadata, or None.

    The key "names" holds a JSON list (item k names class k) or an object
    from class id ("0", "1", ...) to name.  A declaration that cannot be
    used is ignored with a warning; the caller then names classes from COCO80.
    """
    import json

    # A session that offers no metadata (a stand-in) declares nothing.
    get_modelmeta = getattr(session, "get_modelmeta", None)
    if get_modelmeta is None:
        return None
    text = get_modelmeta().custom_metadata_map.get("names")
    if text is None:
        return None
    # Objects become tuples of (key, value) pairs, so a key given twice
    # stays visible; too deep a nesting is as unusable as bad JSON.
    try:
        value = json.loads(text, object_pairs_hook=tuple)
    except (ValueError, RecursionError):
        value = None
    names = {}
    for key, name in enumerate(value) if isinstance(value, list) else value if isinstance(value, tuple) else ():
        # Ids are decimal digits only, at most 18 of them (labels are int64):
        # no sign, no spaces; "1" and "01" are one id.
        cls_id = key if isinstance(key, int) else int(key) if key.isascii() and key.isdigit() and len(key) <= 18 else -1
        if cls_id < 0 or cls_id in names or not isinstance(name, str):
            break
        names[cls_id] = name
    else:
        if names:
            return names
    logger.warning("Class names in %s ignored: metadata 'names' must be a non-empty JSON list of names or an object from "
                   "class id (0, 1, ...) to name, each id once; using the COCO80 names", model_file)
    return None


def _session_options(ort: "object") -> "dict[str, object]":
    """The session's keyword arguments from the station's settings: none when nothing is set.

    QUARN_ORT_THREADS and QUARN_ORT_INTER_THREADS: ONNX Runtime's intra- and
    inter-op threads, 1 to 1024.  QUARN_ORT_SPIN: 0 lets idle worker threads
    sleep instead of busy-waiting, intra- and inter-op; 1 keeps them
    spinning, ONNX Runtime's default.  An empty value counts as not set.
    """
    import os

    threads = os.environ.get("QUARN_ORT_THREADS") or None
    inter = os.environ.get("QUARN_ORT_INTER_THREADS") or None
    spin = os.environ.get("QUARN_ORT_SPIN") or None
    for name, value in (("QUARN_ORT_THREADS", threads), ("QUARN_ORT_INTER_THREADS", inter)):
        if value is not None and not (value.isascii() and value.isdigit() and len(value) <= 4 and 1 <= int(value) <= 1024):
            raise DetectError(f"{name} must be a whole number from 1 to 1024, not {value!r}")
    if spin is not None and spin not in ("0", "1"):
        raise DetectError(f"QUARN_ORT_SPIN must be 0 (idle worker threads sleep) or 1 (they busy-wait, ONNX Runtime's "
                          f"default), not {spin!r}")
    if threads is None and inter is None and spin is None:
        return {}
    options = ort.SessionOptions()
    if threads is not None:
        options.intra_op_num_threads = int(threads)
    if inter is not None:
        options.inter_op_num_threads = int(inter)
    if spin is not None:
        options.add_session_config_entry("session.intra_op.allow_spinning", spin)
        options.add_session_config_entry("session.inter_op.allow_spinning", spin)
    return {"sess_options": options}

"""Command line for the object detector: ``quarn-detect`` / ``python -m quarn.inspection.detect``.

It only reads images, video frames and camera frames, calls
``get_detector(...).detect(...)`` and reports or draws what comes back; every
detection decision stays in ``dfine_runner``.
"""

from __future__ import annotations

import argparse
import colorsys
import contextlib
import dataclasses
import errno
import importlib
import json
import logging
import math
import os
import re
import shutil
import signal
import stat
import statistics
import sys
import time
import unicodedata
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

from quarn.inspection.detect import contract
from quarn.inspection.detect._files import PartFile, sweep

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from quarn.inspection.detect.dfine_runner import Detection, DfineDetector

__all__ = ["IMAGE_SUFFIXES", "VIDEO_SUFFIXES", "class_color", "draw_detections", "main"]

PROG = "quarn-detect"
IMAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"})
VIDEO_SUFFIXES = frozenset({".mp4", ".avi", ".mkv", ".mov", ".m4v", ".mpg", ".mpeg", ".wmv", ".webm", ".flv",
                            ".ts", ".mts", ".m2ts", ".3gp"})
# containers this OpenCV writes with a codec it always has; other videos are saved as .mp4
_VIDEO_CODECS = {".avi": "MJPG", ".mp4": "mp4v", ".m4v": "mp4v", ".mov": "mp4v", ".mkv": "mp4v"}
_DEVICES = ("auto", "cpu", "cuda")
UNTRAINED_KEY = "quarn:weights"


class _InputError(Exception):
    """An input the user can fix (unreadable, not an image, would overwrite itself)."""


class _ModelError(Exception):
    """The model cannot serve this command line; the message says why, in one line."""

    def __init__(self, message: str, loaded: DfineDetector | None = None) -> None:
        super().__init__(message)
        self.loaded = loaded  # set when the model loaded but breaks the inputs/outputs contract


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # one line, like common tools, instead of argparse's usage block
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _conf(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number between 0 and 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:  # also rejects nan
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _count(least: int, most: int | None = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        if most is not None and value > most:
            raise argparse.ArgumentTypeError(f"must be at most {most}, got {value}")
        return value
    return parse


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quarn")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser(prog: str, default_model: str) -> argparse.ArgumentParser:
    p = _Parser(
        prog=prog,
        description="Detect objects in images, videos or camera frames with a D-FINE ONNX model and print, "
        "save or export what was found.",
        epilog=f"Bare model names are looked up under detect/ in each folder of $QUARN_WEIGHTS_DIR, "
        f"then in ~/.local/share/quarn/weights; run '{prog} --check' to see where. "
        "Exit status: 0 all inputs processed, 1 some input or the model failed, 2 usage error, "
        "130 interrupted (Ctrl-C), 143 terminated (SIGTERM).",
    )
    p.add_argument("inputs", nargs="*", metavar="PATH",
                   help="image or video files and/or folders; folders are searched for "
                   + " ".join(sorted(IMAGE_SUFFIXES | VIDEO_SUFFIXES)))
    p.add_argument("-r", "--recursive", action="store_true", help="also search sub-folders of folder arguments")
    p.add_argument("--camera", type=_count(0, 2**31 - 1), metavar="K",
                   help="read live frames from camera K (0 is the first) until Ctrl-C or --frames")
    p.add_argument("--every", type=_count(1), default=1, metavar="N",
                   help="in videos and from the camera, detect on frames 0, N, 2N, ... only (default: every frame); "
                   "with --save, the frames in between show the latest boxes dashed, labelled @<the frame they "
                   "were found in>")
    p.add_argument("--frames", type=_count(1), metavar="N",
                   help="read at most N frames from each video or from the camera")
    p.add_argument("-m", "--model", default=default_model, metavar="NAME_OR_PATH",
                   help="model file name or path (default: %(default)s)")
    p.add_argument("-d", "--device", choices=_DEVICES, default="auto",
                   help="where to run: auto uses CUDA when available (default: %(default)s)")
    p.add_argument("-c", "--conf", type=_conf, default=0.25, metavar="FLOAT",
                   help="minimum confidence, 0..1 (default: %(default)s)")
    p.add_argument("--names", type=Path, metavar="FILE",
                   help="class names to show and write, one per line (line k names class k); "
                   "default: the model's 'names' metadata, else the 80 COCO classes")
    p.add_argument("-j", "--json", action="store_true",
                   help="print one JSON object per image or frame, one per line, instead of tables; "
                   "with --check, one JSON object")
    p.add_argument("-s", "--save", type=Path, metavar="DIR",
                   help="write a copy of each image, and each video, with its detections drawn into DIR")
    p.add_argument("-v", "--verbose", action="store_true", help="print model and per-image timings to stderr")
    p.add_argument("--check", action="store_true",
                   help="report whether detection can run (model, contract, ONNX Runtime, providers) and exit")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


# ---------------------------------------------------------------- inputs

@dataclass(frozen=True)
class _Item:
    """One input: a file (image or video), the camera, or an argument that names nothing usable."""

    path: Path | None  # as the user will recognise it; None for the camera
    rel: Path  # name under --save (relative path inside a folder argument)
    kind: str  # "image", "video", "camera" or "error"
    error: str = ""
    camera: int = -1

    @property
    def label(self) -> str:
        """The input as printed: its path with what a terminal would act on escaped (see ``_shown``)."""
        return _shown(str(self.path)) if self.path is not None else f"camera {self.camera}"


def _kind(path: Path) -> str:
    return "video" if path.suffix.lower() in VIDEO_SUFFIXES else "image"


def _collect(args: Sequence[str], recursive: bool) -> list[_Item]:
    """Inputs in the order given, folders expanded and sorted; problems kept in place as error items."""
    items: list[_Item] = []
    seen: set[Path] = set()
    wanted = IMAGE_SUFFIXES | VIDEO_SUFFIXES
    for arg in args:
        root = Path(arg)
        try:
            mode = root.stat().st_mode
        except (OSError, ValueError) as exc:  # ValueError: a NUL byte
            missing = isinstance(exc, FileNotFoundError | NotADirectoryError)
            reason = "no such file or folder" if missing else getattr(exc, "strerror", None) or str(exc)
            items.append(_Item(root, Path(), "error", reason))
            continue
        if stat.S_ISDIR(mode):
            try:
                pattern = root.rglob("*") if recursive else root.iterdir()
                found = sorted(p for p in pattern if p.suffix.lower() in wanted and p.is_file())
                deeper = not found and not recursive and any(p.is_dir() for p in root.iterdir())
            except OSError as exc:
                items.append(_Item(root, Path(), "error", f"cannot list the folder: {exc.strerror or exc}"))
                continue
            if not found:
                hint = " (use -r to search its sub-folders)" if deeper else ""
                items.append(_Item(root, Path(), "error", f"no images or videos found{hint}"))
            pairs = [(p, p.relative_to(root)) for p in found]
        else:
            what = _not_regular(root)
            if what:  # reading a FIFO or a device could wait forever
                items.append(_Item(root, Path(), "error", f"skipped: not a regular file ({what})"))
                continue
            pairs = [(root, Path(root.name))]
        for path, rel in pairs:
            key = path.resolve()
            if key not in seen:  # the same file named twice is processed once
                seen.add(key)
                items.append(_Item(path, rel, _kind(path)))
    return items


def _not_regular(path: Path) -> str:
    """What ``path`` is when it is not a regular file (after links), else ''."""
    try:
        mode = path.stat().st_mode
    except OSError:
        return ""  # reading it reports the real error
    for test, kind in ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"), (stat.S_ISDIR, "a folder")):
        if test(mode):
            return kind
    return "" if stat.S_ISREG(mode) else "not a file"


def _read_bytes(path: Path) -> bytes:
    # O_NONBLOCK: a FIFO put in place after the listing must not block the open
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _InputError("skipped: not a regular file")
        return f.read()


def _read_image(path: Path) -> npt.NDArray[np.uint8]:
    import cv2
    import numpy as np

    data = np.frombuffer(_read_bytes(path), dtype=np.uint8)
    if data.size == 0:
        raise _InputError("empty file")
    image = cv2.imdecode(data, cv2.IMREAD_COLOR)
    if image is None:
        raise _InputError("not an image, or an unsupported image format")
    return np.asarray(image, dtype=np.uint8)  # IMREAD_COLOR always decodes to 8-bit BGR


# FFmpeg's demuxers for the containers in VIDEO_SUFFIXES.  None of them opens other files, while the
# formats FFmpeg would otherwise detect by content (concat scripts, playlists, image sequences) do.
_DEMUXERS = "mov,mp4,m4a,3gp,3g2,mj2,avi,matroska,webm,mpeg,mpegts,mpegvideo,flv,asf"
_ASF_GUID = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")


def _container(head: bytes) -> str:
    """The media container that a file's leading bytes show, or '' when they show none."""
    if head[4:8] in (b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide", b"pnot"):
        return "MP4/QuickTime"
    if head[:4] == b"RIFF" and head[8:12] == b"AVI ":
        return "AVI"
    if head[:4] == b"\x1a\x45\xdf\xa3":
        return "Matroska/WebM"
    if head[:4] in (b"\x00\x00\x01\xba", b"\x00\x00\x01\xb3"):
        return "MPEG"
    if head[:4] == b"FLV\x01":
        return "FLV"
    if head[:16] == _ASF_GUID:
        return "ASF/WMV"
    for start, step in ((0, 188), (4, 192)):  # MPEG-TS packets; M2TS adds a 4-byte time code to each
        if len(head) > start + 2 * step and all(head[start + k * step] == 0x47 for k in range(3)):
            return "MPEG-TS"
    return ""


@contextlib.contextmanager
def _ffmpeg_containers_only() -> Iterator[None]:
    # OpenCV passes these to FFmpeg at each open; the user's own options are kept, ours win
    key = "OPENCV_FFMPEG_CAPTURE_OPTIONS"
    before = os.environ.get(key)
    os.environ[key] = (before + "|" if before else "") + f"format_whitelist;{_DEMUXERS}|protocol_whitelist;file"
    try:
        yield
    finally:
        if before is None:
            del os.environ[key]
        else:
            os.environ[key] = before


def _open_capture(source: str | int) -> Any:
    """A ``cv2.VideoCapture`` on a video file or a camera index.

    Everything the command line does with videos and cameras goes through
    this one function (``isOpened``, ``read``, ``get``, ``release``), so a
    stand-in capture can take the camera's place where there is none.

    A file is opened here first and must start like a media container;
    OpenCV then reads that very file (through /proc/self/fd where there is
    one, so the name cannot be swapped meanwhile), with FFmpeg held to the
    container formats.  FFmpeg detects formats by content, and some of them
    (an ffconcat script named x.mp4) would read other files or wait on a pipe.
    """
    import cv2

    if isinstance(source, int):
        return cv2.VideoCapture(source)
    # O_NONBLOCK: a FIFO put in place after the listing must not block the open
    fd = os.open(source, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _InputError("skipped: not a regular file")
        if not _container(os.read(fd, 1024)):
            raise _InputError("not a video: the file does not start like an MP4, QuickTime, AVI, Matroska/WebM, "
                              "MPEG, MPEG-TS, FLV or ASF/WMV file")
        name = f"/proc/self/fd/{fd}"
        if not os.path.exists(name):
            name = os.path.abspath(source)  # an absolute name: FFmpeg reads nothing in it as a protocol
        with _ffmpeg_containers_only():
            return cv2.VideoCapture(_opencv_name(name), _video_api())
    finally:
        os.close(fd)  # the capture has opened the file itself


def _video_api() -> int:
    """FFmpeg, whose reading _open_capture restricts, when this OpenCV has it."""
    import cv2

    return int(cv2.CAP_FFMPEG) if cv2.videoio_registry.hasBackend(cv2.CAP_FFMPEG) else int(cv2.CAP_ANY)


def _opencv_name(path: str | os.PathLike[str]) -> bytes:
    """A file name as OpenCV's binding takes it without harm: the bytes the system uses.

    Given a str, the binding converts it to UTF-8 and crashes the process on a
    name that is not valid UTF-8 (Python keeps such bytes as lone surrogates).
    """
    return os.fsencode(path)


# ---------------------------------------------------------------- drawing

def class_color(cls_id: int) -> tuple[int, int, int]:
    """BGR colour of a class: fixed per id, neighbouring ids far apart in hue."""
    r, g, b = colorsys.hsv_to_rgb((cls_id * 0.618033988749895) % 1.0, 0.85, 0.95)
    return round(b * 255), round(g * 255), round(r * 255)


def draw_detections(image: npt.NDArray[np.uint8], detections: Sequence[Detection],
                    held_from: int | None = None) -> npt.NDArray[np.uint8]:
    """Draw boxes and ``name conf`` labels onto ``image`` (BGR, modified in place).

    ``held_from``: the frame the detections were found in, when they are drawn
    on a later video frame; such boxes are dashed and their labels end in
    ``@<frame>``, so a viewer can tell them from boxes found in the frame shown.

    Labels are scaled to the image and kept whole inside it: a label too wide
    loses its score, then the end of its name ("..."); one that would cover
    another label moves a row up or down, and is left out (the box stays) when
    there is no free place or the image is too small for any legible label.
    """
    import cv2

    h, w = image.shape[:2]
    lw = max(2 if min(h, w) >= 64 else 1, round((h + w) / 2 * 0.003))
    # Hershey text is 33 px from top to baseline bottom at scale 1; below 0.3 it is not legible
    scale = min(max(0.4, lw / 3), h / 200)
    font, thick = cv2.FONT_HERSHEY_SIMPLEX, max(1, lw - 1)
    if scale < 0.3:
        scale, thick = 0.3, 1
    for d in detections:  # boxes first so no box crosses another's label
        x1, y1, x2, y2 = d.xyxy
        if held_from is None:
            cv2.rectangle(image, (x1, y1), (x2, y2), class_color(d.cls_id), lw, cv2.LINE_8)
        else:
            _dashed_rectangle(image, (x1, y1), (x2, y2), class_color(d.cls_id), lw)
    placed: list[tuple[int, int, int, int]] = []  # label rectangles drawn: left, top, right, bottom (exclusive)
    mark = "" if held_from is None else f" @{held_from}"
    for d in detections:
        fitted = _fit_label(d, mark, w, h, font, scale, thick, lw)
        if fitted is None:
            continue
        label, tw, th, bw, bh = fitted
        x1, y1, _, y2 = d.xyxy
        left = min(max(x1 - lw // 2, 0), w - bw)
        above = y1 - lw // 2 - bh  # above the box, or just inside it when that leaves the image
        top = _free_row(above if above >= 0 else max(y1, 0), left, bw, bh, h, placed)
        if top is None:
            continue
        placed.append((left, top, left + bw, top + bh))
        color = class_color(d.cls_id)
        cv2.rectangle(image, (left, top), (left + bw - 1, top + bh - 1), color, cv2.FILLED)
        b, g, r = color
        ink = (0, 0, 0) if 0.299 * r + 0.587 * g + 0.114 * b > 150 else (255, 255, 255)
        cv2.putText(image, label, (left + lw, top + lw // 2 + th), font, scale, ink, thick, cv2.LINE_AA)
    return image


def _fit_label(d: Detection, mark: str, w: int, h: int, font: int, scale: float, thick: int,
               lw: int) -> tuple[str, int, int, int, int] | None:
    """The longest form of ``d``'s label that fits the image: (text, text w, text h, box w, box h) or None."""
    import cv2

    def size(text: str) -> tuple[int, int, int, int]:
        (tw, th), base = cv2.getTextSize(text, font, scale, thick)
        return tw, th, tw + 2 * lw, th + base + lw

    name = d.cls_name
    forms = [f"{name} {d.conf:.2f}{mark}", f"{name}{mark}", name] + [name[:k] + "..." for k in range(len(name) - 1, 0, -1)]
    for text in forms:
        tw, th, bw, bh = size(text)
        if bh > h / 2:  # no label is legible on so small an image; one would cover it
            return None
        if bw <= w:
            return text, tw, th, bw, bh
    return None


def _free_row(want: int, left: int, bw: int, bh: int, h: int,
              placed: Sequence[tuple[int, int, int, int]]) -> int | None:
    """The top of a label row nearest ``want`` (down first, then up) that is inside the image and free."""
    want = min(max(want, 0), h - bh)
    for down in (True, False):
        top = want
        for _ in range(len(placed) + 1):
            if top < 0 or top + bh > h:
                break
            hit = next((r for r in placed if r[0] < left + bw and left < r[2] and r[1] < top + bh and top < r[3]), None)
            if hit is None:
                return top
            top = hit[3] if down else hit[1] - bh
    return None


def _dashed_rectangle(image: npt.NDArray[np.uint8], p1: tuple[int, int], p2: tuple[int, int],
                      color: tuple[int, int, int], lw: int) -> None:
    import cv2

    (x1, y1), (x2, y2) = p1, p2
    dash = max(4, 4 * lw)
    for a, b in (((x1, y1), (x2, y1)), ((x2, y1), (x2, y2)), ((x2, y2), (x1, y2)), ((x1, y2), (x1, y1))):
        length = max(abs(b[0] - a[0]), abs(b[1] - a[1]))
        for start in range(0, length + 1, 2 * dash):
            stop = min(start + dash, length)
            f, g = start / length if length else 0.0, stop / length if length else 0.0
            cv2.line(image, (round(a[0] + (b[0] - a[0]) * f), round(a[1] + (b[1] - a[1]) * f)),
                     (round(a[0] + (b[0] - a[0]) * g), round(a[1] + (b[1] - a[1]) * g)), color, lw, cv2.LINE_8)


# ---------------------------------------------------------------- writing

def _file_id(path: Path) -> tuple[int, int] | None:
    try:
        st = path.stat()
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


class _Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM: the run stops as on Ctrl-C; ``signum`` says which."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Signals:
    """SIGINT and SIGTERM stop the run, but never inside a ``held()`` block.

    An output being published, or a video frame being written and counted,
    is finished first, so what was written stays valid and counted right.
    A signal the process was started ignoring (SIGINT in a background job)
    stays ignored.
    """

    def __init__(self) -> None:
        self.depth = 0
        self.pending: int | None = None
        self.before: dict[int, Any] = {}

    def install(self) -> None:
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                old = signal.getsignal(signum)
                if old in (signal.SIG_IGN, None):
                    continue
                signal.signal(signum, self._handle)
            except ValueError:  # not the main thread: Ctrl-C keeps Python's own handling
                continue
            self.before[signum] = old

    def restore(self) -> None:
        for signum, old in self.before.items():
            signal.signal(signum, old)
        self.before.clear()

    def _handle(self, signum: int, frame: object) -> None:
        if self.depth:
            self.pending = signum
            return
        raise _Stopped(signum)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if not self.depth and self.pending is not None:
                signum, self.pending = self.pending, None
                raise _Stopped(signum)


_SIGNALS = _Signals()


def _save(image: npt.NDArray[np.uint8], dest: Path) -> None:
    import cv2

    suffix = dest.suffix.lower()
    ok, buf = cv2.imencode(suffix if suffix in IMAGE_SUFFIXES else ".png", image)
    if not ok:
        raise _InputError(f"could not encode {dest.name}")
    with _SIGNALS.held(), PartFile(dest) as part:
        part.write(buf.tobytes())
        part.publish(replace=True)


# every frame rate in this range is written as it is; outside it the writers refuse it or change it
_FPS_RANGE = (0.01, 1000.0)


def _writable_fps(fps: float) -> float:
    low, high = _FPS_RANGE
    return min(max(fps, low), high)


class _VideoSink:
    """An annotated video written into a part file and published when closed, once verified.

    OpenCV's writer reports nothing when a frame is lost (a full disk, a frame
    of another size), so each frame's size is checked before it is written,
    and the finished file is read back: it replaces ``dest`` only when it
    holds every frame written.  Closing after an interruption still finishes
    the container, so the frames written up to then make a playable video.
    """

    def __init__(self, dest: Path, fps: float) -> None:
        self.dest, self.fps, self.frames = dest, fps, 0
        self.part: PartFile | None = None
        self.writer: Any = None
        self.shape: tuple[int, ...] = ()

    def write(self, frame: npt.NDArray[np.uint8]) -> None:
        import cv2

        if self.writer is None:
            with _SIGNALS.held():
                self.part = PartFile(self.dest)
            codec = _VIDEO_CODECS.get(self.dest.suffix.lower(), "mp4v")
            h, w = frame.shape[:2]
            try:
                self.writer = cv2.VideoWriter(_opencv_name(self.part.path.absolute()), _video_api(),
                                              cv2.VideoWriter.fourcc(*codec), self.fps, (w, h))
            except cv2.error as exc:
                raise _InputError(f"this OpenCV cannot write {self.dest.suffix} video ({codec}): {exc}") from None
            if not self.writer.isOpened():
                raise _InputError(f"this OpenCV cannot write {self.dest.suffix} video ({codec})")
            self.shape = (h, w, 3)
        h, w = frame.shape[:2]
        channels = frame.shape[2] if frame.ndim == 3 else 1
        if (h, w, channels) != self.shape or frame.dtype.name != "uint8":
            got = f"{w}x{h}" + ("" if channels == 3 else f" with {channels} channel{'s' if channels != 1 else ''}")
            raise _InputError(f"frame {self.frames} is {got}, but the video began at {self.shape[1]}x{self.shape[0]}; "
                              "a video holds frames of one size")
        try:
            with _SIGNALS.held():
                self.writer.write(frame)
                self.frames += 1
        except cv2.error as exc:
            raise _InputError(f"the video writer failed at frame {self.frames}: {' '.join(str(exc).split())}") from None

    def close(self, keep: bool) -> str | None:
        """Finish the file; None when ``keep`` and it replaced ``dest``, else why it did not ('' if not asked)."""
        if self.writer is not None:
            with _SIGNALS.held():
                self.writer.release()
                self.writer = None
        if self.part is None:
            return ""
        try:
            if not keep or not self.frames:  # the reason was given when the writing stopped
                return ""
            problem = self._verify()
            if problem:
                if self.dest.exists():
                    problem += f"; {self.dest} is left as it was"
                return problem
            with _SIGNALS.held():
                self.part.publish(replace=True)
            return None
        except OSError as exc:
            return f"could not write {self.dest}: {exc.strerror or exc}"
        finally:
            with _SIGNALS.held():
                self.part.discard()  # after publish this only closes

    def _verify(self) -> str:
        """'' when the part file reads back as every frame written, at the size written; else what is wrong."""
        import cv2

        assert self.part is not None
        cap = cv2.VideoCapture(_opencv_name(self.part.path.absolute()), _video_api())
        try:
            if not cap.isOpened():
                return "the written video cannot be read back (the disk may be full)"
            size = (int(cap.get(cv2.CAP_PROP_FRAME_WIDTH)), int(cap.get(cv2.CAP_PROP_FRAME_HEIGHT)))
            back = 0
            while back <= self.frames and cap.grab():
                back += 1
        finally:
            cap.release()
        if back != self.frames:
            return f"only {back} of the {self.frames} frames written could be read back (is the disk full?)"
        if size != (self.shape[1], self.shape[0]):
            return f"the written video reads back as {size[0]}x{size[1]}, not {self.shape[1]}x{self.shape[0]}"
        return ""


class _Destinations:
    """Output paths under --save: file names kept, clashes numbered.

    An output never replaces a file given or found as input (by resolved
    path, or as the same file through a hard or symbolic link), nor one
    written earlier in this run.  Each folder written into is first cleared
    of the part files that killed runs left there.
    """

    def __init__(self, folder: Path, inputs: Sequence[Path], note: Callable[[str], None]) -> None:
        self.folder, self.note = folder, note
        self.used: set[Path] = set()
        self.written: set[tuple[int, int]] = set()
        self.inputs = {p.resolve() for p in inputs}
        self.input_ids = {i for i in map(_file_id, inputs) if i is not None}
        self.swept: set[Path] = set()

    def _taken(self, dest: Path) -> bool:
        return dest.resolve() in self.used or _file_id(dest) in self.written

    def __call__(self, item: _Item) -> Path:
        keep, fallback = (_VIDEO_CODECS, ".mp4") if item.kind in ("video", "camera") else (IMAGE_SUFFIXES, ".png")
        rel = item.rel if item.rel.suffix.lower() in keep else item.rel.with_name(item.rel.name + fallback)
        dest, n = self.folder / rel, 1
        while self._taken(dest):
            n += 1
            dest = self.folder / rel.with_name(f"{rel.stem}-{n}{rel.suffix}")
        if dest.resolve() in self.inputs or _file_id(dest) in self.input_ids:
            raise _InputError(f"{dest} is an input of this run and is left alone; "
                              "choose a --save folder apart from the inputs")
        self.used.add(dest.resolve())
        self._sweep(dest.parent)
        return dest

    def _sweep(self, folder: Path) -> None:
        key = folder.resolve()
        if key in self.swept:
            return
        self.swept.add(key)
        removed = sweep(folder)
        if removed:
            n = len(removed)
            self.note(f"removed {n} unfinished output{'s' if n != 1 else ''} that a killed run left in {folder}: "
                      + ", ".join(p.name for p in removed))

    def wrote(self, dest: Path) -> None:
        file_id = _file_id(dest)
        if file_id is not None:
            self.written.add(file_id)


# ---------------------------------------------------------------- output

def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else \
        f"{seconds // 60}:{seconds % 60:02d}"


# What a terminal would act on or not show: control characters (ESC, CR, ...), invisible formatting
# (bidirectional overrides, zero-width marks), line and paragraph separators, and lone surrogates
# (bytes of a file name that are not UTF-8, as Python decodes them).
_UNSHOWN = frozenset({"Cc", "Cf", "Cs", "Zl", "Zp"})


def _escape(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8: \x80 to \xff
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x80:  # a control character: \x00 to \x1f, \x7f
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def _shown(text: str) -> str:
    """``text`` as printed: characters a terminal would act on or not show are escaped.

    Bytes of a file name that are not UTF-8 become ``\\xNN`` (80-ff), control
    characters ``\\xNN`` (00-1f, 7f), other invisible or unencodable ones
    ``\\uNNNN``; so a name can neither break the table nor drive the terminal,
    and printing it never fails.
    """
    if text.isprintable():
        return text
    return "".join(_escape(ch) if unicodedata.category(ch) in _UNSHOWN else ch for ch in text)


def _json_text(text: str) -> str:
    """``text`` for JSON: exact, except that lone surrogates, which JSON cannot carry, are escaped as by ``_shown``."""
    if text.isprintable():
        return text
    return "".join(_escape(ch) if "\ud800" <= ch <= "\udfff" else ch for ch in text)


def _jsonable(value: Any) -> Any:
    if isinstance(value, str):
        return _json_text(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None  # a broken model's inf or nan score
    if isinstance(value, dict):
        return {_json_text(str(k)): _jsonable(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [_jsonable(v) for v in value]
    return value


def _json_line(value: Any) -> str:
    """One line of JSON that strict parsers accept: no NaN or Infinity (null instead), no lone surrogates.

    It is ASCII (``ensure_ascii``), so any stdout encoding can carry it.
    """
    return json.dumps(_jsonable(value), allow_nan=False)


class _OutputError(Exception):
    """Standard output cannot be written (closed, or its disk full): nothing more can be reported."""


class _Console:
    """stdout/stderr writer that keeps a progress line on a terminal's stderr out of the way.

    What it writes fits the stream's encoding (backslash escapes where a
    character does not), so no text ever fails an input by being printed.
    """

    def __init__(self, out: TextIO, err: TextIO, prog: str) -> None:
        self.out, self.err, self.prog = out, err, prog
        self.bar = err.isatty()
        self.drawn = False
        self._line = ""
        self._last = 0.0

    @contextlib.contextmanager
    def _clear(self) -> Iterator[None]:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
        yield
        if self.drawn:
            self._write(self.err, self._line)
            self.err.flush()

    @staticmethod
    def _write(stream: TextIO, text: str) -> None:
        try:
            stream.write(text)
        except UnicodeEncodeError:  # nothing was written: the text is encoded before it is buffered
            encoding = getattr(stream, "encoding", None) or "ascii"
            stream.write(text.encode(encoding, "backslashreplace").decode(encoding))

    def print(self, text: str) -> None:
        """Write lines composed with names already passed through ``_shown``, or JSON."""
        with self._clear():
            try:
                self._write(self.out, text + "\n")
                self.out.flush()
            except BrokenPipeError:
                raise
            except (OSError, ValueError) as exc:  # ValueError: a closed file object
                raise _OutputError(getattr(exc, "strerror", None) or str(exc)) from None

    def error(self, text: str) -> None:
        with self._clear():
            self._write(self.err, f"{self.prog}: {_shown(' '.join(text.split()))}\n")  # always one line
            self.err.flush()

    def note(self, text: str) -> None:
        with self._clear():
            self._write(self.err, "\n".join(map(_shown, text.split("\n"))) + "\n")
            self.err.flush()

    def progress(self, text: str, every_time: bool = False) -> None:
        now = time.monotonic()
        if not self.bar or (not every_time and now - self._last < 0.1):  # not on every frame: it costs
            return
        self._last = now
        width = shutil.get_terminal_size((80, 20)).columns
        self._line = "\r" + _shown(text)[: width - 1] + "\x1b[K"
        self._write(self.err, self._line)
        self.err.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
            self.drawn = False


def _detection_json(d: Detection) -> dict[str, Any]:
    rec: dict[str, Any] = {"cls_id": d.cls_id, "cls_name": d.cls_name, "conf": d.conf, "xyxy": list(d.xyxy)}
    if d.obb is not None:
        rec["obb"] = list(d.obb)
    return rec


def _where(item: _Item, frame: int | None) -> dict[str, Any]:
    rec: dict[str, Any] = {"camera": item.camera} if item.kind == "camera" else {"file": str(item.path)}
    if frame is not None:
        rec["frame"] = frame
    return rec


def _record(item: _Item, frame: int | None, shape: tuple[int, ...], detections: Sequence[Detection],
            saved: Path | None = None) -> str:
    rec = {**_where(item, frame), "width": shape[1], "height": shape[0],
           "detections": [_detection_json(d) for d in detections]}
    if saved is not None:
        rec["saved"] = str(saved)
    return _json_line(rec)


def _table(item: _Item, shape: tuple[int, ...], detections: Sequence[Detection]) -> str:
    h, w = shape[:2]
    n = len(detections)
    lines = [f"{item.label}  {w}x{h}  {n} detection{'s' if n != 1 else ''}"]
    if detections:
        shown = [_shown(d.cls_name) for d in detections]
        cw = max(5, *map(len, shown))
        lines.append(f"  {'class':<{cw}}  {'conf':>5}  {'x1':>6} {'y1':>6} {'x2':>6} {'y2':>6}")
        for d, name in zip(detections, shown):
            x1, y1, x2, y2 = d.xyxy
            lines.append(f"  {name:<{cw}}  {d.conf:5.2f}  {x1:6d} {y1:6d} {x2:6d} {y2:6d}")
    return "\n".join(lines)


def _frame_rows(frame: int, detections: Sequence[Detection], cw: int) -> str:
    return "\n".join(f"  {frame:6d}  {_shown(d.cls_name):<{cw}}  {d.conf:5.2f}  "
                     f"{d.xyxy[0]:6d} {d.xyxy[1]:6d} {d.xyxy[2]:6d} {d.xyxy[3]:6d}" for d in detections)


# ---------------------------------------------------------------- the model

@dataclass
class _Model:
    detector: DfineDetector
    names: dict[int, str] | None  # None: the module's own names
    names_from: str
    untrained: bool


def _model_error(model: str, exc: BaseException) -> str:
    msg = str(exc)
    if Path(model).name == model and not model.startswith("~") and os.path.isfile(model):
        # bare names are searched in the model folders only, which surprises people
        msg += f" A file {model!r} is in the current folder: pass ./{model} to use it."
    return msg


def _load(model: str, device: str | None) -> tuple[DfineDetector | None, str]:
    """The shared detector, or None and a one-line reason."""
    from quarn.inspection.detect import dfine_runner as dr

    try:
        return dr.get_detector(model, device), ""
    except dr.DetectError as exc:
        return None, _model_error(model, exc)
    except Exception as exc:  # ONNX Runtime's own errors for a damaged or foreign model file
        why, said = _unreadable(model, exc), f"{type(exc).__name__}: {exc}"
        return None, f"cannot load model {model!r}: " + (f"{why} ({said})" if why else said)


def _unreadable(model: str, exc: Exception) -> str:
    """Why the model file could not be read, in plain words, when a system error stopped ONNX Runtime; else ''."""
    from quarn import weights

    try:
        path = os.path.abspath(weights.model_path("detect", model))
    except (OSError, ValueError):
        return ""
    code = re.search(r"system error number (\d+)", str(exc))  # ONNX Runtime's words for an errno
    number = int(code.group(1)) if code else None
    if number is None:
        try:
            os.close(os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)))
        except OSError as err:
            number = err.errno
    if number in (errno.EACCES, errno.EPERM):
        return f"permission denied: this user cannot read {path}"
    return f"{path}: {os.strerror(number).lower()}" if number else ""


def _contract(session: Any) -> list[str]:
    """What in the model's inputs and outputs breaks what ``detect`` feeds and reads; empty when none."""
    try:
        inputs = {arg.name: arg for arg in session.get_inputs()}
        outputs = [arg.name for arg in session.get_outputs()]
    except Exception as exc:  # a session without ONNX Runtime's introspection cannot be checked
        return [f"cannot read the model's inputs and outputs ({exc})"]
    problems = []
    for want in contract.INPUTS:
        name, types, tail = want.name, [e.ort for e in want.elements], want.dims
        arg = inputs.get(name)
        if arg is None:
            problems.append(f"no input {name!r}")
            continue
        if arg.type not in types:
            problems.append(f"input {name!r} is {arg.type}, not {' or '.join(types)}")
        shape = list(arg.shape or [])
        if shape and len(shape) != want.rank:  # an empty shape means the model does not say
            problems.append(f"input {name!r} has rank {len(shape)}, not {want.rank}")
        elif shape and any(isinstance(got, int) and got != size for got, size in zip(shape[-len(tail):], tail)):
            problems.append(f"input {name!r} has shape {shape}, not [1, {', '.join(map(str, tail))}]")
    extra = [name for name in inputs if name not in contract.INPUT_NAMES]
    if extra:
        problems.append(f"unexpected input{'s' if len(extra) > 1 else ''} {', '.join(map(repr, extra))}")
    if tuple(outputs) != contract.OUTPUT_NAMES:
        problems.append(f"outputs are {', '.join(map(repr, outputs)) or 'none'}, "
                        f"not {', '.join(map(repr, contract.OUTPUT_NAMES))} in this order")
    if not problems:
        ranks = {want.name: want.rank for want in contract.OUTPUTS}
        for arg in session.get_outputs():
            shape = list(arg.shape or [])
            if shape and len(shape) != ranks[arg.name]:
                problems.append(f"output {arg.name!r} has rank {len(shape)}, not {ranks[arg.name]}")
    if problems:
        inputs_text = ", ".join(f"{a.name} {a.type} {list(a.shape or [])}" for a in inputs.values())
        problems.append(f"the model has inputs {inputs_text or 'none'}")
    return problems


def _metadata(session: Any) -> dict[str, str]:
    try:
        return dict(session.get_modelmeta().custom_metadata_map)
    except Exception:  # a session without metadata has none to offer
        return {}


def _names_from_metadata(text: str) -> dict[int, str]:
    value = json.loads(text)
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        pairs = enumerate(value)
    elif isinstance(value, dict) and all(isinstance(v, str) for v in value.values()):
        pairs = ((int(k), v) for k, v in value.items())
    else:
        raise ValueError("not a JSON list of names or an object from class id to name")
    # JSON's "\ud800" is a lone surrogate: no text, and OpenCV's text drawing cannot take it
    return {k: _json_text(v) for k, v in pairs}


def _read_names(path: Path) -> dict[int, str]:
    """Line k names class k; a blank line leaves its class to be shown by id.

    Lines end at "\n" (a "\r" before it belongs to the line end) and nowhere
    else: a form feed, NEL or LINE SEPARATOR inside a name does not shift the
    names after it.  A carriage return inside a name is refused, since it means
    a file with "\r" line ends, whose names would all fall on class 0.
    """
    names = {}
    for k, line in enumerate(_read_bytes(path).decode("utf-8-sig").split("\n")):
        name = line.strip()
        if "\r" in name:
            raise _InputError(f"line {k + 1} holds a carriage return inside a name; "
                              "lines must end with \\n or \\r\\n")
        if name:
            names[k] = name
    if not names:
        raise _InputError("the file holds no names")
    return names


def _open_model(args: argparse.Namespace, device: str | None, names: dict[int, str] | None,
                con: _Console) -> _Model:
    """Load the detector once and check it fits, before any input is read."""
    detector, problem = _load(args.model, device)
    if detector is None:
        raise _ModelError(problem)
    problems = _contract(detector.session)
    if problems:
        raise _ModelError(f"model {args.model!r} does not fit the detector: {'; '.join(problems)}", detector)
    meta = _metadata(detector.session)
    untrained = meta.get(UNTRAINED_KEY, "").strip().lower() == "untrained"
    if untrained:
        con.error(f"WARNING: model {args.model!r} has UNTRAINED (random) weights: "
                  "its detections mean nothing. Use it to test the set-up only.")
    names_from = "the module (COCO80)"
    if names is not None:
        names_from = str(args.names)
    elif "names" in meta:
        try:
            names, names_from = _names_from_metadata(meta["names"]), "the model's metadata"
        except (ValueError, TypeError) as exc:
            con.error(f"warning: model metadata 'names' ignored: {exc}")
    return _Model(detector, names, names_from, untrained)


# ---------------------------------------------------------------- a run

@dataclass
class _Stats:
    """One counting rule for every mode: each input ends as processed or failed."""

    inputs: int
    processed: int = 0
    failed: int = 0
    images: int = 0  # images and frames run through the detector
    detections: int = 0
    read_s: list[float] = field(default_factory=list)
    detect_s: list[float] = field(default_factory=list)
    start: float = field(default_factory=time.perf_counter)

    def summary(self, verbose: bool) -> str:
        wall = time.perf_counter() - self.start
        rate = self.images / wall if wall > 0 else 0.0
        s = "" if self.inputs == 1 else "s"
        text = (f"{self.inputs} input{s}: {self.processed} processed, {self.failed} failed; "
                f"{self.images} image{'' if self.images == 1 else 's'}, {self.detections} "
                f"detection{'' if self.detections == 1 else 's'}; {wall:.2f} s, {rate:.1f} images/s")
        if verbose and self.detect_s:
            text += (f"\nmedian per image: read {statistics.median(self.read_s) * 1e3:.1f} ms, "
                     f"detect {statistics.median(self.detect_s) * 1e3:.1f} ms")
        return text


class _Run:
    def __init__(self, args: argparse.Namespace, model: _Model, con: _Console, items: list[_Item]) -> None:
        self.args, self.model, self.con, self.items = args, model, con, items
        self.stats = _Stats(len(items))
        self.sink: _VideoSink | None = None  # the annotated copy of the video being read
        self.failed_save = False
        self.dests = _Destinations(args.save, self._given(), con.error) if args.save is not None else None
        self.done = 0  # inputs finished, for "k of n" and the time left
        self.where = ""
        names = model.names if model.names is not None else model.detector.names
        self.name_width = min(24, max(5, *(len(_shown(n)) for n in names.values()))) if names else 5

    def _given(self) -> list[Path]:
        """Every file this run reads: inputs, the --names file and the model file."""
        from quarn import weights

        given = [i.path for i in self.items if i.path is not None and i.kind != "error"]
        if self.args.names is not None:
            given.append(self.args.names)
        with contextlib.suppress(Exception):  # it loaded, so it resolves; a stand-in weights module may not
            given.append(Path(weights.model_path("detect", self.args.model)))
        return given

    # -- shared pieces

    def _detect(self, image: npt.NDArray[np.uint8], read_s: float) -> list[Detection]:
        t0 = time.perf_counter()
        found = self.model.detector.detect(image, conf=self.args.conf)
        self.stats.detect_s.append(time.perf_counter() - t0)
        self.stats.read_s.append(read_s)
        self.stats.images += 1
        self.stats.detections += len(found)
        names = self.model.names
        if names is None:
            return found
        # only what is shown changes; the module's records keep their own names
        return [dataclasses.replace(d, cls_name=names.get(d.cls_id, str(d.cls_id))) for d in found]

    def _fail(self, item: _Item, message: str, frame: int | None = None) -> None:
        where = item.label if frame is None else f"{item.label}: frame {frame}"
        self.con.error(f"{where}: {message}")
        if self.args.json:
            self.con.print(_json_line({**_where(item, frame), "error": message}))

    def _show_progress(self, item: _Item, frame: int | None = None, frames: int = 0) -> None:
        if not self.con.bar:
            return
        n = self.stats.inputs
        wall = time.perf_counter() - self.stats.start
        rate = self.stats.images / wall if wall > 0 else 0.0
        where = item.label if frame is None else f"{item.label} frame {frame}" + (f"/{frames}" if frames else "")
        if item.kind == "camera":
            count = f"{self.stats.images} frames"
            part = frame / frames if frames and frame is not None else 0.0
        else:
            count = f"{self.done}/{n}"
            part = (self.done + (frame / frames if frames and frame is not None else 0.0)) / n
        left = f"  {_clock(wall / part * (1 - part))} left" if 0 < part < 1 else ""
        self.con.progress(f"{count}  {rate:.1f} images/s{left}  {where}", every_time=frame is None)

    # -- the three kinds of input

    def image(self, item: _Item) -> bool:
        assert item.path is not None
        t0 = time.perf_counter()
        image = _read_image(item.path)
        detections = self._detect(image, time.perf_counter() - t0)
        saved, problem = None, ""
        if self.dests is not None:
            try:
                dest = self.dests(item)
                _save(draw_detections(image, detections), dest)
            except (_InputError, OSError) as exc:
                problem = f"not saved: {exc.strerror if isinstance(exc, OSError) and exc.strerror else exc}"
            else:
                self.dests.wrote(dest)
                saved = dest
        if self.args.json:
            self.con.print(_record(item, None, image.shape, detections, saved))
        else:
            self.con.print(_table(item, image.shape, detections) + (f"\n  saved: {_shown(str(saved))}" if saved else ""))
        if self.args.verbose:
            self.con.note(f"{item.label}: read {self.stats.read_s[-1] * 1e3:.1f} ms, "
                          f"detect {self.stats.detect_s[-1] * 1e3:.1f} ms")
        if problem:
            self._fail(item, problem)
            return False
        return True

    def _unreadable(self, item: _Item, frames: Sequence[int], shape: tuple[int, ...]) -> None:
        """Frames in the middle of a video that could not be read: a record each, and stand-ins in the copy."""
        import cv2
        import numpy as np

        if self.args.json:
            for k in frames:
                self.con.print(_json_line({**_where(item, k), "error": "the frame could not be read"}))
        else:
            span = f"frame {frames[0]}" if len(frames) == 1 else f"frames {frames[0]}-{frames[-1]}"
            self.con.print(f"  {frames[0]:6d}  ({span} could not be read)")
        for k in frames:
            # a grey frame that says what is missing keeps the copy as long as the video
            stand_in = np.full(shape, 64, np.uint8)
            cv2.putText(stand_in, f"frame {k} could not be read", (4, min(shape[0] - 4, 20)),
                        cv2.FONT_HERSHEY_SIMPLEX, 0.4, (255, 255, 255), 1, cv2.LINE_AA)
            self._write(item, stand_in)

    def _write(self, item: _Item, frame: npt.NDArray[np.uint8]) -> None:
        """Write one frame to the annotated copy, if there is one; give the copy up when that fails."""
        if self.sink is None:
            return
        try:
            self.sink.write(frame)
        except (_InputError, OSError) as exc:
            self._fail(item, f"not saved: {exc}")
            self.failed_save = True
            sink, self.sink = self.sink, None
            sink.close(keep=False)

    def _header(self, item: _Item, shape: tuple[int, ...], fps: float) -> None:
        h, w = shape[:2]
        self.con.print(f"{item.label}  {w}x{h}  {fps:g} fps\n  {'frame':>6}  {'class':<{self.name_width}}  "
                       f"{'conf':>5}  {'x1':>6} {'y1':>6} {'x2':>6} {'y2':>6}")

    def frames(self, item: _Item) -> bool:
        """A video file or the camera: every --every'th frame, at most --frames frames.

        A frame that cannot be read in the middle of a file (the container
        announces more) is reported and skipped; reading ends at the announced
        count, or after _MAX_UNREADABLE frames in a row.
        """
        import cv2

        camera = item.kind == "camera"
        source: str | int = item.camera if camera else str(item.path)
        cap = _open_capture(source)
        self.sink, self.failed_save = None, False
        ok = True
        try:
            if not cap.isOpened():
                raise _InputError(f"camera {item.camera} could not be opened" if camera
                                  else "cannot be opened as a video (damaged, or a format this OpenCV cannot read)")
            fps = float(cap.get(cv2.CAP_PROP_FPS) or 0.0)
            fps = fps if math.isfinite(fps) and fps > 0 else 25.0  # cameras and some files do not say
            announced = 0.0 if camera else float(cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0.0)
            total = int(announced) if math.isfinite(announced) and 0 < announced < 2**62 else 0
            limit = self.args.frames
            expect = min(total, limit) if total and limit else (limit or total)
            saved: Path | None = None
            if self.dests is not None:
                try:
                    saved = self.dests(item)
                except (_InputError, OSError) as exc:
                    self._fail(item, f"not saved: {exc}")
                    ok = False
                else:
                    if _writable_fps(fps) != fps:
                        self.con.error(f"{item.label}: a frame rate of {fps:g} fps cannot be written; "
                                       f"the annotated video plays at {_writable_fps(fps):g} fps")
                    self.sink = _VideoSink(saved, _writable_fps(fps))
            latest: list[Detection] = []
            latest_at = 0
            told = False  # the first record names the annotated copy
            index = found = 0
            missing: list[int] = []  # unreadable frames since the last one read
            skipped: list[int] = []  # unreadable frames followed by readable ones
            header = False
            while limit is None or index < limit:
                self.where = f"{item.label} at frame {index}"
                self._show_progress(item, index, expect)
                t0 = time.perf_counter()
                got, frame = cap.read()
                read_s = time.perf_counter() - t0
                if not got or frame is None:
                    if camera or index >= total or len(missing) >= _MAX_UNREADABLE:
                        break
                    missing.append(index)  # a damaged frame reads as a failure and the next read goes on
                    index += 1
                    continue
                if missing or index % self.args.every == 0:
                    if not self.args.json and not header:
                        self._header(item, frame.shape, fps)
                        header = True
                if missing:
                    self._unreadable(item, missing, frame.shape)
                    skipped += missing
                    missing = []
                if index % self.args.every == 0:
                    try:
                        latest = self._detect(frame, read_s)
                    except Exception as exc:  # the module's DetectError and what preprocessing raises
                        ok = False
                        self._fail(item, str(exc), index)
                        latest = []
                    else:
                        found += len(latest)
                        if self.args.json:
                            self.con.print(_record(item, index, frame.shape, latest,
                                                   saved if self.sink is not None and not told else None))
                            told = True
                        elif latest:
                            self.con.print(_frame_rows(index, latest, self.name_width))
                    latest_at = index
                if self.sink is not None:
                    # frames between detections carry the latest boxes, dashed, so the video keeps its length
                    self._write(item, draw_detections(frame, latest, None if latest_at == index else latest_at))
                index += 1
            came = index - len(missing)
            if came == 0:
                ok = False
                self._fail(item, "no frame could be read")
            elif camera and (limit is None or index < limit):
                ok = False
                self._fail(item, f"no frame could be read after {index}")
            if skipped:
                ok = False
                self.con.error(f"{item.label}: {len(skipped)} frame{'s' if len(skipped) != 1 else ''} could not be "
                               f"read: {_spans(skipped)}")
            if came and total and came < min(total, limit or total):
                self.con.error(f"{item.label}: the video ended after {came} of the {total} frames it announces")
            done = None
            if self.sink is not None:
                sink, self.sink = self.sink, None
                problem = sink.close(keep=True)
                if problem is None:
                    assert self.dests is not None
                    self.dests.wrote(sink.dest)
                    done = sink.dest
                elif problem:
                    ok = False
                    self._fail(item, f"not saved: {problem}")
            if self.failed_save:
                ok = False
            if not self.args.json:
                read = came - len(skipped)
                self.con.print(f"{item.label}: {read} frame{'s' if read != 1 else ''} read, "
                               f"{found} detection{'s' if found != 1 else ''}" + (f"\n  saved: {_shown(str(done))}" if done else ""))
        finally:
            cap.release()
            if self.sink is not None:  # interrupted, or stopped by an error: keep what was written, if it is sound
                sink, self.sink = self.sink, None
                problem = sink.close(keep=True)
                if problem is None and self.dests is not None:
                    self.dests.wrote(sink.dest)
                elif problem:
                    self._fail(item, f"not saved: {problem}")
        return ok

    def run(self) -> None:
        handlers = {"image": self.image, "video": self.frames, "camera": self.frames}
        for item in self.items:
            self.where = item.label
            self._show_progress(item)
            try:
                if item.kind == "error":
                    ok = False
                    self._fail(item, item.error)
                else:
                    ok = handlers[item.kind](item)
            except (BrokenPipeError, _OutputError):
                raise
            except (_InputError, OSError) as exc:
                ok = False
                self._fail(item, exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc))
            except Exception as exc:  # the module's DetectError, and what preprocessing raises on odd images
                ok = False
                self._fail(item, str(exc))
            if ok:
                self.stats.processed += 1
            else:
                self.stats.failed += 1
            self.done += 1
        self.con.finish()


# a longer run of unreadable frames is taken as the end of the video: a damaged or lying header must not keep
# the reading going for ever
_MAX_UNREADABLE = 250


def _spans(frames: Sequence[int]) -> str:
    """'3, 7-9, 12' for [3, 7, 8, 9, 12]; long lists are cut after ten spans."""
    spans: list[list[int]] = []
    for k in frames:
        if spans and k == spans[-1][1] + 1:
            spans[-1][1] = k
        else:
            spans.append([k, k])
    text = ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in spans[:10])
    return text + (f" and {len(spans) - 10} more spans" if len(spans) > 10 else "")


# ---------------------------------------------------------------- commands

def _places(model: str) -> list[Path]:
    from quarn import weights

    return weights.candidates("detect", model)


def _cuda_cause(available: Sequence[str]) -> str:
    if "CUDAExecutionProvider" not in available:
        return ("this ONNX Runtime has no CUDA provider (it offers " + ", ".join(available) + "); "
                "install onnxruntime-gpu in place of onnxruntime")
    return ("ONNX Runtime has a CUDA provider but could not start it: no GPU visible, or CUDA/cuDNN libraries "
            "missing or of another version (see the ONNX Runtime messages above)")


def _check(args: argparse.Namespace, device: str | None, names: dict[int, str] | None, con: _Console) -> int:
    import numpy as np

    from quarn import weights
    from quarn.inspection.detect import dfine_runner as dr

    model = args.model
    rows: list[tuple[str, object]] = []
    report: dict[str, Any] = {"model": model, "model_file": None, "looked_in": [], "onnxruntime": None,
                              "available_providers": [], "requested_device": args.device,
                              "requested_providers": [], "provider": None, "device": None, "contract": None,
                              "untrained": None, "names": None, "test_inference_ms": None}
    problems: list[str] = []
    rows.append(("model", model))
    if dr.is_available(model):
        report["model_file"] = str(weights.model_path("detect", model).absolute())
        rows.append(("model file", report["model_file"]))
    else:
        report["looked_in"] = [str(p) for p in _places(model)]
        rows += [("model file", "NOT FOUND")] + [("  looked in", p) for p in report["looked_in"]]
    available: list[str] = []
    try:
        ort: Any = importlib.import_module("onnxruntime")  # untyped package
    except ImportError as exc:
        rows.append(("onnxruntime", f"NOT INSTALLED ({exc}); reinstall: pip install quarn"))
    else:
        available = list(ort.get_available_providers())
        log = logging.getLogger(dr.logger.name)
        quiet, log.disabled = log.disabled, True  # its CUDA warning comes once, from the load below
        try:
            requested = list(dr._providers(device))
        finally:
            log.disabled = quiet
        report.update(onnxruntime=ort.__version__, available_providers=available, requested_providers=requested)
        rows += [("onnxruntime", ort.__version__), ("available providers", ", ".join(available)),
                 ("requested device", args.device),
                 ("requested providers", ", ".join(report["requested_providers"]))]
    broken = None
    try:
        loaded: _Model | None = _open_model(args, device, names, con)
    except _ModelError as exc:
        loaded, broken = None, exc.loaded
        problems.append(str(exc))
    detector = loaded.detector if loaded is not None else broken
    if detector is not None:
        report.update(provider=detector.provider, device=detector.device)
        rows.append(("provider in use", f"{detector.provider} (device {detector.device})"))
        if device == "cuda" and detector.device != "cuda":
            problems.append(f"CUDA was requested but ONNX Runtime runs {detector.provider}: {_cuda_cause(available)}")
    else:
        rows.append(("provider in use", "-"))
    if loaded is not None:
        report.update(contract="ok", untrained=loaded.untrained,
                      names={"source": loaded.names_from,
                             "count": len(loaded.names if loaded.names is not None else loaded.detector.names)})
        rows.append(("model contract", "ok (images, orig_target_sizes -> labels, boxes, scores)"))
        rows.append(("weights", "UNTRAINED (random): detections mean nothing" if loaded.untrained
                     else "not marked untrained"))
        rows.append(("class names", f"{report['names']['count']} from {loaded.names_from}"))
        try:
            t0 = time.perf_counter()
            loaded.detector.detect(np.full((64, 64, 3), 114, np.uint8), conf=1.0)  # proves the model runs
            report["test_inference_ms"] = round((time.perf_counter() - t0) * 1e3, 1)
            rows.append(("test inference", f"ok ({report['test_inference_ms']:.0f} ms)"))
        except Exception as exc:
            problems.append(str(exc))
            rows.append(("test inference", "FAILED"))
    elif broken is not None:
        report["contract"] = problems[0]
        rows.append(("model contract", "BROKEN"))
    status = "ready: detection can run" if not problems else "NOT READY: " + " ".join(" ".join(problems).split())
    if not problems and loaded is not None and loaded.untrained:
        status += ", but its weights are UNTRAINED"
    report.update(ready=not problems, status=status)
    rows.append(("status", status))
    if args.json:
        con.print(_json_line(report))
    else:
        for key, value in rows:
            con.print(f"{key + ':':<22}{_shown(str(value))}")
    return 0 if not problems else 1


def _interrupted(con: _Console, run: _Run | None, verbose: bool, signum: int) -> int:
    con.finish()
    what = "terminated" if signum == signal.SIGTERM else "interrupted"
    if run is None:
        con.note(f"{con.prog}: {what}")
    else:
        n = run.stats.inputs
        con.note(f"{con.prog}: {what} after {run.done} of {n} input{'s' if n != 1 else ''} (in {run.where})")
        con.note(run.stats.summary(verbose))
    return 128 + signum


def _quiet_stdout() -> None:
    # nothing more can go to stdout: send it, and the flush at exit, to the null device
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def main(argv: Sequence[str] | None = None, *, prog: str | None = None) -> int:
    """Run the command line; returns the exit status."""
    prog = prog or PROG
    _SIGNALS.install()
    try:
        return _main(argv, prog)
    finally:
        _SIGNALS.restore()


def _fill_closed_standard_fds() -> None:
    """Put the null device on standard descriptors the process was started without (`2>&-`).

    Otherwise the next file opened takes that number, and library messages
    meant for stderr would be written into an output.
    """
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # kept open for the life of the process


def _main(argv: Sequence[str] | None, prog: str) -> int:
    _fill_closed_standard_fds()
    try:
        from quarn.inspection.detect import dfine_runner as dr
    except ImportError as exc:
        sys.stderr.write(f"{prog}: error: cannot load the detector ({exc}); reinstall: pip install quarn\n")
        return 1
    parser = build_parser(prog, dr.DEFAULT_WEIGHTS)
    args = parser.parse_args(argv)
    if args.check and (args.inputs or args.camera is not None):
        parser.error("--check takes no image arguments")
    if args.camera is not None and args.inputs:
        parser.error("--camera takes no PATH arguments")
    if not args.check and not args.inputs and args.camera is None:
        parser.error("no images given")
    if args.save is not None:
        try:
            if not stat.S_ISDIR(args.save.stat().st_mode):
                parser.error(f"argument --save: {args.save} exists and is not a folder")
        except FileNotFoundError:
            pass  # made when the first output is written
        except OSError as exc:
            parser.error(f"argument --save: {exc.strerror or exc}")
    names = None
    if args.names is not None:
        try:
            names = _read_names(args.names)
        except (OSError, ValueError, _InputError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) else exc
            parser.error(_shown(f"argument --names: {args.names}: {reason}"))
    # FFmpeg would print a line per damaged frame; the run reports them itself, in one line per video
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    if not logging.getLogger().handlers:  # e.g. "CUDA requested but not available" warnings
        logging.basicConfig(format=f"{prog}: %(levelname)s: %(message)s", stream=sys.stderr)
    device = None if args.device == "auto" else args.device
    if sys.stdout is None or getattr(sys.stdout, "closed", False):  # started with stdout closed (`>&-`)
        sys.stderr.write(f"{prog}: error: standard output is closed; redirect it (e.g. >/dev/null) instead\n")
        return 1
    con = _Console(sys.stdout, sys.stderr, prog)
    run: _Run | None = None
    try:
        if args.check:
            return _check(args, device, names, con)
        items = ([_Item(None, Path(f"camera{args.camera}.mp4"), "camera", camera=args.camera)]
                 if args.camera is not None else _collect(args.inputs, args.recursive))
        t0 = time.perf_counter()
        try:
            model = _open_model(args, device, names, con)
        except _ModelError as exc:
            con.error("error: " + str(exc))
            return 1
        if args.verbose:
            con.note(f"model {args.model}: provider {model.detector.provider} (device {model.detector.device}), "
                     f"class names from {model.names_from}, ready in {(time.perf_counter() - t0) * 1e3:.0f} ms")
        run = _Run(args, model, con, items)
        run.run()
        con.note(run.stats.summary(args.verbose))
        return 1 if run.stats.failed else 0
    except KeyboardInterrupt as exc:
        return _interrupted(con, run, args.verbose, exc.signum if isinstance(exc, _Stopped) else signal.SIGINT)
    except BrokenPipeError:
        # the reader went away (e.g. `| head`): stop quietly
        _quiet_stdout()
        return 1
    except _OutputError as exc:
        _quiet_stdout()
        con.finish()
        con.error(f"error: cannot write to standard output ({exc}); stopped")
        if run is not None:
            con.note(run.stats.summary(args.verbose))
        return 1

"""Reading image and video files without harm: regular files only, never a pipe, and FFmpeg held to media containers."""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect._files import OPEN_FLAGS, NotRegular, read_regular
from quarn.inspection.detect.cli.errors import InputError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

IMAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"})
VIDEO_SUFFIXES = frozenset({".mp4", ".avi", ".mkv", ".mov", ".m4v", ".mpg", ".mpeg", ".wmv", ".webm", ".flv",
                            ".ts", ".mts", ".m2ts", ".3gp"})

# FFmpeg's demuxers for the containers in VIDEO_SUFFIXES.  None of them opens other files, while the
# formats FFmpeg would otherwise detect by content (concat scripts, playlists, image sequences) do.
_DEMUXERS = "mov,mp4,m4a,3gp,3g2,mj2,avi,matroska,webm,mpeg,mpegts,mpegvideo,flv,asf"
_ASF_GUID = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")


def read_bytes(path: Path) -> bytes:
    try:
        return read_regular(path)
    except NotRegular:
        raise InputError("skipped: not a regular file") from None


def read_image(path: Path) -> npt.NDArray[np.uint8]:
    import cv2
    import numpy as np

    data = np.frombuffer(read_bytes(path), dtype=np.uint8)
    if data.size == 0:
        raise InputError("empty file")
    image = cv2.imdecode(data, cv2.IMREAD_COLOR)
    if image is None:
        raise InputError("not an image, or an unsupported image format")
    return np.asarray(image, dtype=np.uint8)  # IMREAD_COLOR always decodes to 8-bit BGR


def container(head: bytes) -> str:
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


def open_capture(source: str | int) -> Any:
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
    fd = os.open(source, OPEN_FLAGS)  # a FIFO put in place after the listing must not block the open
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise InputError("skipped: not a regular file")
        if not container(os.read(fd, 1024)):
            raise InputError("not a video: the file does not start like an MP4, QuickTime, AVI, Matroska/WebM, "
                             "MPEG, MPEG-TS, FLV or ASF/WMV file")
        name = f"/proc/self/fd/{fd}"
        if not os.path.exists(name):
            name = os.path.abspath(source)  # an absolute name: FFmpeg reads nothing in it as a protocol
        with _ffmpeg_containers_only():
            return cv2.VideoCapture(opencv_name(name), video_api())
    finally:
        os.close(fd)  # the capture has opened the file itself


def video_api() -> int:
    """FFmpeg, whose reading open_capture restricts, when this OpenCV has it."""
    import cv2

    return int(cv2.CAP_FFMPEG) if cv2.videoio_registry.hasBackend(cv2.CAP_FFMPEG) else int(cv2.CAP_ANY)


def opencv_name(path: str | os.PathLike[str]) -> bytes:
    """A file name as OpenCV's binding takes it without harm: the bytes the system uses.

    Given a str, the binding converts it to UTF-8 and crashes the process on a
    name that is not valid UTF-8 (Python keeps such bytes as lone surrogates).
    """
    return os.fsencode(path)

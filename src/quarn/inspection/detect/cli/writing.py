"""Saved copies written whole or not at all: through part files, a video read back before it replaces anything."""

from __future__ import annotations

import queue
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect._files import PartFile
from quarn.inspection.detect.cli.errors import InputError, reason
from quarn.inspection.detect.cli.media import IMAGE_SUFFIXES, opencv_name, video_api
from quarn.inspection.detect.signals import SIGNALS

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# containers this OpenCV writes with a codec it always has; other videos are saved as .mp4
VIDEO_CODECS = {".avi": "MJPG", ".mp4": "mp4v", ".m4v": "mp4v", ".mov": "mp4v", ".mkv": "mp4v"}
# every frame rate in this range is written as it is; outside it the writers refuse it or change it
_FPS_RANGE = (0.01, 1000.0)


def writable_fps(fps: float) -> float:
    low, high = _FPS_RANGE
    return min(max(fps, low), high)


def save_image(image: npt.NDArray[np.uint8], dest: Path) -> None:
    import cv2

    suffix = dest.suffix.lower()
    ok, buf = cv2.imencode(suffix if suffix in IMAGE_SUFFIXES else ".png", image)
    if not ok:
        raise InputError(f"could not encode {dest.name}")
    with SIGNALS.held(), PartFile(dest) as part:
        part.write(buf.tobytes())
        part.publish(replace=True)


class _Encoder:
    """A video writer fed on a thread of its own, frame after frame in order, so that encoding overlaps what follows.

    A frame given is encoded before the encoder finishes; a failure is kept
    and said by the next ``put`` or by ``finish``.
    """

    def __init__(self, writer: Any) -> None:
        self.writer, self.written, self.error = writer, 0, ""
        self.frames: queue.Queue[npt.NDArray[np.uint8] | None] = queue.Queue(2)  # few frames held: bounded memory
        # a daemon: even a writer nobody finished cannot keep the process from ending
        self.thread = threading.Thread(target=self._encode, name="quarn-detect encode", daemon=True)
        self.thread.start()

    def put(self, frame: npt.NDArray[np.uint8]) -> None:
        if self.error:
            raise InputError(self.error)
        self.frames.put(frame)

    def finish(self) -> str:
        """Wait until every frame given is written; '' or why the writing failed."""
        self.frames.put(None)
        self.thread.join()
        return self.error

    def _encode(self) -> None:
        while (frame := self.frames.get()) is not None:
            if self.error:
                continue  # taken and dropped, so that put never waits on a writer that gave up
            try:
                self.writer.write(frame)
                self.written += 1
            except Exception as exc:  # cv2.error; anything else must not leave put waiting either
                self.error = f"the video writer failed at frame {self.written}: {' '.join(str(exc).split())}"


class VideoOutput:
    """An annotated video written into a part file and published when closed, once verified.

    OpenCV's writer reports nothing when a frame is lost (a full disk, a frame
    of another size), so each frame's size is checked before it is written,
    and the finished file is read back: it replaces ``dest`` only when it
    holds every frame written.  Closing after an interruption still finishes
    the container, so the frames written up to then make a playable video.
    ``overlapped``: frames are encoded on a thread of their own (``_Encoder``).
    """

    def __init__(self, dest: Path, fps: float, overlapped: bool = False) -> None:
        self.dest, self.fps, self.frames, self.overlapped = dest, fps, 0, overlapped
        self.part: PartFile | None = None
        self.writer: Any = None
        self.encoder: _Encoder | None = None
        self.shape: tuple[int, ...] = ()

    def write(self, frame: npt.NDArray[np.uint8]) -> None:
        """Write ``frame``, which nothing may change afterwards (with ``overlapped`` it is encoded later)."""
        import cv2

        if self.writer is None:
            self._start(frame.shape[0], frame.shape[1])
        h, w = frame.shape[:2]
        channels = frame.shape[2] if frame.ndim == 3 else 1
        if (h, w, channels) != self.shape or frame.dtype.name != "uint8":
            got = f"{w}x{h}" + ("" if channels == 3 else f" with {channels} channel{'s' if channels != 1 else ''}")
            raise InputError(f"frame {self.frames} is {got}, but the video began at {self.shape[1]}x{self.shape[0]}; "
                             "a video holds frames of one size")
        if self.encoder is not None:
            self.encoder.put(frame)
            self.frames += 1
            return
        try:
            with SIGNALS.held():
                self.writer.write(frame)
                self.frames += 1
        except cv2.error as exc:
            raise InputError(f"the video writer failed at frame {self.frames}: {' '.join(str(exc).split())}") from None

    def _start(self, h: int, w: int) -> None:
        import cv2

        with SIGNALS.held():
            self.part = PartFile(self.dest)
        codec = VIDEO_CODECS.get(self.dest.suffix.lower(), "mp4v")
        try:
            self.writer = cv2.VideoWriter(opencv_name(self.part.path.absolute()), video_api(),
                                          cv2.VideoWriter.fourcc(*codec), self.fps, (w, h))
        except cv2.error as exc:
            raise InputError(f"this OpenCV cannot write {self.dest.suffix} video ({codec}): {exc}") from None
        if not self.writer.isOpened():
            raise InputError(f"this OpenCV cannot write {self.dest.suffix} video ({codec})")
        self.shape = (h, w, 3)
        if self.overlapped:
            self.encoder = _Encoder(self.writer)

    def close(self, keep: bool) -> str | None:
        """Finish the file; None when ``keep`` and it replaced ``dest``, else why it did not ('' if not asked)."""
        failed = ""
        if self.writer is not None:
            with SIGNALS.held():
                if self.encoder is not None:  # the frames given are written first
                    encoder, self.encoder = self.encoder, None
                    failed = encoder.finish()
                    if not failed:  # an interrupt may fall between queueing a frame and counting it
                        self.frames = encoder.written
                self.writer.release()
                self.writer = None
        if self.part is None:
            return ""
        try:
            if not keep or not self.frames:  # the reason was given when the writing stopped
                return ""
            problem = failed or self._verify()
            if problem:
                if self.dest.exists():
                    problem += f"; {self.dest} is left as it was"
                return problem
            with SIGNALS.held():
                self.part.publish(replace=True)
            return None
        except OSError as exc:
            return f"could not write {self.dest}: {reason(exc)}"
        finally:
            with SIGNALS.held():
                self.part.discard()  # after publish this only closes

    def _verify(self) -> str:
        """'' when the part file reads back as every frame written, at the size written; else what is wrong."""
        import cv2

        assert self.part is not None
        cap = cv2.VideoCapture(opencv_name(self.part.path.absolute()), video_api())
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

"""Frame sources: one class per kind of input, each yielding its frames in order behind one protocol.

A source opens (raising ``InputError`` when it cannot), yields ``Frame``s, and
closes; afterwards ``troubles()`` says what went wrong with its reading as a
whole.  Video sources own ``--every`` (which frames are examined) and
``--frames`` (how many are read).  A new kind of input (a stream URL, say) is
one new class here and one line where inputs are collected.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.cli.console import shown
from quarn.inspection.detect.cli.errors import InputError
from quarn.inspection.detect.cli.media import read_image

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# a longer run of unreadable frames is taken as the end of the video: a damaged or lying header must not keep
# the reading going for ever
MAX_UNREADABLE = 250


@dataclass
class Frame:
    """One image or video frame as read, with where it stands in its input."""

    index: int | None  # the frame's number in its video or stream; None for a still image
    image: npt.NDArray[np.uint8]
    examine: bool = True  # detect on it; False: it only carries the latest boxes into a saved video (--every)
    read_s: float = 0.0
    detect_s: float = 0.0  # set once it is examined
    lost: tuple[int, ...] = ()  # the frames just before it that could not be read


@dataclass(frozen=True)
class Trouble:
    """Something wrong with an input's reading as a whole, said once its frames are done."""

    message: str
    fails: bool = True  # the input counts as failed
    record: bool = True  # it gets an error record of its own (else its frames had theirs, or it is a note)


@dataclass(frozen=True)
class Stride:
    """Which frames of a video or stream are read (--frames) and which of them examined (--every)."""

    every: int = 1
    frames: int | None = None


class Source:
    """Where an input's frames come from; subclasses say how they are read."""

    still = False  # one image, whose copy is an image; else a sequence of frames, whose copy is a video
    live = False  # frames arrive as they happen: no end to read up to
    fps = 0.0
    expected = 0  # frames this input should give, when known: for the time left

    def __init__(self, label: str, rel: Path, path: Path | None = None) -> None:
        self.label = label  # as printed: names escaped so no terminal acts on them
        self.rel = rel  # name of its copy under --save
        self.path = path  # the file it reads, as the user named it
        self.index: int | None = None  # the frame being read, once reading began

    @property
    def where(self) -> str:
        """The place reached, for a message about an interruption."""
        return self.label if self.index is None else f"{self.label} at frame {self.index}"

    @property
    def file(self) -> Path | None:
        """The file this input reads, which no output may replace; None when it reads none."""
        return self.path

    def record(self, index: int | None = None) -> dict[str, Any]:
        """What a JSON record says about where its frame came from."""
        rec: dict[str, Any] = {"file": str(self.path)}
        if index is not None:
            rec["frame"] = index
        return rec

    def open(self) -> None:
        """Get ready to read; raises InputError when this input cannot be read at all."""

    def close(self) -> None:
        """Let go of what ``open`` took; safe to call more than once, and without ``open``."""

    def __iter__(self) -> Iterator[Frame]:
        raise NotImplementedError

    def troubles(self) -> list[Trouble]:
        return []


class Unusable(Source):
    """An argument that names nothing this command can read; it fails with the reason, in its place in the run."""

    def __init__(self, path: Path, reason: str) -> None:
        super().__init__(shown(str(path)), Path(), path)
        self.reason = reason

    @property
    def file(self) -> Path | None:
        return None

    def open(self) -> None:
        raise InputError(self.reason)

    def __iter__(self) -> Iterator[Frame]:
        return iter(())


class ImageFile(Source):
    """A still image: one frame, always examined."""

    still = True

    def __init__(self, path: Path, rel: Path) -> None:
        super().__init__(shown(str(path)), rel, path)

    def __iter__(self) -> Iterator[Frame]:
        assert self.path is not None
        t0 = time.perf_counter()
        image = read_image(self.path)
        yield Frame(None, image, read_s=time.perf_counter() - t0)


class _Captured(Source):
    """Frames through OpenCV's capture: a video file or a camera."""

    target: str | int = ""
    unopened = ""  # why open() failed when the capture does not open

    def __init__(self, label: str, rel: Path, stride: Stride, path: Path | None = None) -> None:
        super().__init__(label, rel, path)
        self.stride = stride
        self.cap: Any = None
        self.total = 0  # frames the container announces; 0 when it does not say
        self.missing: list[int] = []  # unreadable frames since the last one read
        self.skipped: list[int] = []  # unreadable frames followed by readable ones

    def open(self) -> None:
        import cv2

        from quarn.inspection.detect import cli

        # looked up on the package at each open: the one seam through which videos and cameras are opened
        self.cap = cli._open_capture(self.target)
        if not self.cap.isOpened():
            raise InputError(self.unopened)
        fps = float(self.cap.get(cv2.CAP_PROP_FPS) or 0.0)
        self.fps = fps if math.isfinite(fps) and fps > 0 else 25.0  # cameras and some files do not say
        self.total = self._announced()
        limit = self.stride.frames
        self.expected = min(self.total, limit) if self.total and limit else (limit or self.total)

    def _announced(self) -> int:
        return 0

    def close(self) -> None:
        if self.cap is not None:
            cap, self.cap = self.cap, None
            cap.release()

    def _read_past(self, index: int) -> bool:
        """Whether reading goes on after frame ``index`` could not be read."""
        return False

    def __iter__(self) -> Iterator[Frame]:
        """Every frame up to --frames; those that cannot be read are reported with the next one that can."""
        index, limit = 0, self.stride.frames
        while limit is None or index < limit:
            self.index = index
            t0 = time.perf_counter()
            got, image = self.cap.read()
            read_s = time.perf_counter() - t0
            if got and image is not None:
                lost, self.missing = tuple(self.missing), []
                self.skipped += lost
                yield Frame(index, image, index % self.stride.every == 0, read_s, lost=lost)
            elif self._read_past(index):
                self.missing.append(index)  # a damaged frame reads as a failure and the next read goes on
            else:
                break
            index += 1
        self.index = index

    def troubles(self) -> list[Trouble]:
        assert self.index is not None
        came, limit, found = self.index - len(self.missing), self.stride.frames, []
        if came == 0:
            found.append(Trouble("no frame could be read"))
        elif self.live and (limit is None or self.index < limit):
            found.append(Trouble(f"no frame could be read after {self.index}"))
        if self.skipped:
            n = len(self.skipped)
            found.append(Trouble(f"{n} frame{'s' if n != 1 else ''} could not be read: {spans(self.skipped)}",
                                 record=False))  # each had its record
        if came and self.total and came < min(self.total, limit or self.total):
            # several containers only estimate their count: not a failure
            found.append(Trouble(f"the video ended after {came} of the {self.total} frames it announces",
                                 fails=False, record=False))
        return found


class VideoFile(_Captured):
    """A video file: a frame that cannot be decoded is read past while the file announces more."""

    unopened = "cannot be opened as a video (damaged, or a format this OpenCV cannot read)"

    def __init__(self, path: Path, rel: Path, stride: Stride) -> None:
        super().__init__(shown(str(path)), rel, stride, path)
        self.target = str(path)

    def _announced(self) -> int:
        import cv2

        announced = float(self.cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0.0)
        return int(announced) if math.isfinite(announced) and 0 < announced < 2**62 else 0

    def _read_past(self, index: int) -> bool:
        return index < self.total and len(self.missing) < MAX_UNREADABLE


class Camera(_Captured):
    """Live frames from camera K until --frames or Ctrl-C; a frame that does not come ends it."""

    live = True

    def __init__(self, number: int, stride: Stride) -> None:
        super().__init__(f"camera {number}", Path(f"camera{number}.mp4"), stride)
        self.number = self.target = number
        self.unopened = f"camera {number} could not be opened"

    def record(self, index: int | None = None) -> dict[str, Any]:
        rec: dict[str, Any] = {"camera": self.number}
        if index is not None:
            rec["frame"] = index
        return rec


def spans(frames: Sequence[int]) -> str:
    """'3, 7-9, 12' for [3, 7, 8, 9, 12]; long lists are cut after ten spans."""
    runs: list[list[int]] = []
    for k in frames:
        if runs and k == runs[-1][1] + 1:
            runs[-1][1] = k
        else:
            runs.append([k, k])
    text = ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in runs[:10])
    return text + (f" and {len(runs) - 10} more spans" if len(runs) > 10 else "")

"""Where each input's frames and detections go: a table or JSON lines, and a saved image or video.

A sink serves one input, given when it is made, and takes the same calls as
every other, in order: ``begin()`` once the input is open; per frame,
``lost(frame)`` when frames just before it could not be read, then
``frame(frame, found)`` (``found`` None: not examined, or its detection
failed); ``fail(message, index)`` for each failure of the input (index None)
or of one of its frames, at any time, also before ``begin``; and
``end(complete)`` last, also when the input stops early (``complete`` False:
interrupted, or cut off by an error).  The copies draw on the frame itself,
so no sink after them may read its pixels.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.cli.console import Console, json_line, shown
from quarn.inspection.detect.cli.destinations import Destinations
from quarn.inspection.detect.cli.drawing import draw_detections, unreadable_frame
from quarn.inspection.detect.cli.errors import InputError, reason
from quarn.inspection.detect.cli.sources import Frame, Source
from quarn.inspection.detect.cli.writing import VideoOutput, save_image, writable_fps

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from quarn.inspection.detect.dfine_runner import Detection

Fail = Callable[[str], None]  # reports a failure of the input being read


class Sink:
    """The calls every sink takes; each does nothing unless a sink says otherwise."""

    def __init__(self, source: Source) -> None:
        self.source = source

    def begin(self) -> None:
        pass

    def lost(self, frame: Frame) -> None:
        pass

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        pass

    def fail(self, message: str, index: int | None) -> None:
        pass

    def end(self, complete: bool) -> None:
        pass


class Copy(Sink):
    """A saved copy with the detections drawn, as far as the report must know it."""

    def __init__(self, source: Source, dests: Destinations, fail: Fail) -> None:
        super().__init__(source)
        self.dests, self.report_failure = dests, fail
        self.saved: Path | None = None  # the copy, once it replaced its destination

    @property
    def named(self) -> Path | None:
        """The copy a record may name now."""
        return self.saved


# ---------------------------------------------------------------- reports on stdout

class Table(Sink):
    """A table per image; for a video or the camera, a header, a row per detection and a closing line."""

    def __init__(self, source: Source, con: Console, name_width: int, copy: Copy | None) -> None:
        super().__init__(source)
        self.con, self.width, self.copy = con, name_width, copy
        self.header, self.read, self.found = False, 0, 0

    def lost(self, frame: Frame) -> None:
        self._header(frame)
        first, last = frame.lost[0], frame.lost[-1]
        span = f"frame {first}" if first == last else f"frames {first}-{last}"
        self.con.print(f"  {first:6d}  ({span} could not be read)")

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        if frame.index is None:
            if found is not None:
                self.con.print(_table(self.source.label, frame.image.shape, found) + self._saved())
            return
        self._header(frame)
        self.read += 1
        if found:
            self.found += len(found)
            self.con.print("\n".join(_row(frame.index, d, self.width) for d in found))

    def end(self, complete: bool) -> None:
        if complete and not self.source.still:
            read, found = self.read, self.found
            self.con.print(f"{self.source.label}: {read} frame{'s' if read != 1 else ''} read, "
                           f"{found} detection{'s' if found != 1 else ''}" + self._saved())

    def _saved(self) -> str:
        saved = self.copy.saved if self.copy is not None else None
        return f"\n  saved: {shown(str(saved))}" if saved else ""

    def _header(self, frame: Frame) -> None:
        if self.header:
            return
        self.header = True
        h, w = frame.image.shape[:2]
        self.con.print(f"{self.source.label}  {w}x{h}  {self.source.fps:g} fps\n  {'frame':>6}  {'class':<{self.width}}  "
                       f"{'conf':>5}  {'x1':>6} {'y1':>6} {'x2':>6} {'y2':>6}")


def _table(label: str, shape: tuple[int, ...], detections: Sequence[Detection]) -> str:
    h, w = shape[:2]
    n = len(detections)
    lines = [f"{label}  {w}x{h}  {n} detection{'s' if n != 1 else ''}"]
    if detections:
        names = [shown(d.cls_name) for d in detections]
        cw = max(5, *map(len, names))
        lines.append(f"  {'class':<{cw}}  {'conf':>5}  {'x1':>6} {'y1':>6} {'x2':>6} {'y2':>6}")
        for d, name in zip(detections, names):
            x1, y1, x2, y2 = d.xyxy
            lines.append(f"  {name:<{cw}}  {d.conf:5.2f}  {x1:6d} {y1:6d} {x2:6d} {y2:6d}")
    return "\n".join(lines)


def _row(index: int, d: Detection, width: int) -> str:
    x1, y1, x2, y2 = d.xyxy
    return f"  {index:6d}  {shown(d.cls_name):<{width}}  {d.conf:5.2f}  {x1:6d} {y1:6d} {x2:6d} {y2:6d}"


class JsonLines(Sink):
    """One JSON object per image or examined frame, and one per failure, in stream order."""

    def __init__(self, source: Source, con: Console, copy: Copy | None) -> None:
        super().__init__(source)
        self.con, self.copy = con, copy
        self.told = False  # the first record names the copy

    def lost(self, frame: Frame) -> None:
        for k in frame.lost:
            self.con.print(json_line({**self.source.record(k), "error": "the frame could not be read"}))

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        if found is None:
            return
        h, w = frame.image.shape[:2]
        rec = {**self.source.record(frame.index), "width": w, "height": h, "detections": [_detection(d) for d in found]}
        saved = self.copy.named if self.copy is not None and not self.told else None
        if saved is not None:
            rec["saved"] = str(saved)
        self.told = True
        self.con.print(json_line(rec))

    def fail(self, message: str, index: int | None) -> None:
        self.con.print(json_line({**self.source.record(index), "error": message}))


def _detection(d: Detection) -> dict[str, Any]:
    rec: dict[str, Any] = {"cls_id": d.cls_id, "cls_name": d.cls_name, "conf": d.conf, "xyxy": list(d.xyxy)}
    if d.obb is not None:
        rec["obb"] = list(d.obb)
    return rec


class Timings(Sink):
    """--verbose: how long reading and detecting each image took, on stderr."""

    def __init__(self, source: Source, con: Console) -> None:
        super().__init__(source)
        self.con = con

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        if found is not None:
            self.con.note(f"{self.source.label}: read {frame.read_s * 1e3:.1f} ms, detect {frame.detect_s * 1e3:.1f} ms")


# ---------------------------------------------------------------- saved copies

class ImageCopy(Copy):
    """The image with its detections drawn, saved before its record, which names it; a failure is told after it."""

    problem = ""

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        if found is None:
            return
        try:
            dest = self.dests(self.source.rel, still=True)
            save_image(draw_detections(frame.image, found), dest)
        except (InputError, OSError) as exc:
            self.problem = f"not saved: {reason(exc)}"
        else:
            self.dests.wrote(dest)
            self.saved = dest

    def end(self, complete: bool) -> None:
        if complete and self.problem:
            self.report_failure(self.problem)


class VideoCopy(Copy):
    """Every frame read, written as it comes: examined ones with their boxes, the others with the latest boxes dashed.

    Its first record names it; if writing fails, the copy is given up (the
    reading goes on) and the previous file at its place is left as it was.
    """

    def __init__(self, source: Source, dests: Destinations, fail: Fail, warn: Fail, overlapped: bool) -> None:
        super().__init__(source, dests, fail)
        self.warn, self.overlapped = warn, overlapped
        self.out: VideoOutput | None = None
        self.latest: Sequence[Detection] = []
        self.latest_at = 0

    def begin(self) -> None:
        source = self.source
        try:
            dest = self.dests(source.rel, still=False)
        except (InputError, OSError) as exc:
            self.report_failure(f"not saved: {exc}")
            return
        fps = writable_fps(source.fps)
        if fps != source.fps:
            self.warn(f"{source.label}: a frame rate of {source.fps:g} fps cannot be written; "
                      f"the annotated video plays at {fps:g} fps")
        self.out = VideoOutput(dest, fps, self.overlapped)

    @property
    def named(self) -> Path | None:
        return self.out.dest if self.out is not None else None

    def lost(self, frame: Frame) -> None:
        for k in frame.lost:  # the copy keeps the video's length
            self._write(unreadable_frame(frame.image.shape, k))

    def fail(self, message: str, index: int | None) -> None:
        if index is not None:  # that frame's detection failed: it shows no boxes, nor those of earlier frames
            self.latest, self.latest_at = [], index

    def frame(self, frame: Frame, found: Sequence[Detection] | None) -> None:
        if found is not None:
            self.latest, self.latest_at = found, frame.index or 0
        if self.out is not None:
            self._write(draw_detections(frame.image, self.latest, None if self.latest_at == frame.index else self.latest_at))

    def _write(self, image: npt.NDArray[np.uint8]) -> None:
        """Write one frame; give the copy up when that fails."""
        if self.out is None:
            return
        try:
            self.out.write(image)
        except (InputError, OSError) as exc:
            out, self.out = self.out, None
            self.report_failure(f"not saved: {exc}")
            out.close(keep=False)

    def end(self, complete: bool) -> None:
        """Finish the copy, also after an interruption: what was written stays, if it is sound."""
        if self.out is None:
            return
        out, self.out = self.out, None
        problem = out.close(keep=True)
        if problem is None:
            self.dests.wrote(out.dest)
            self.saved = out.dest
        elif problem:
            self.report_failure(f"not saved: {problem}")


class Outputs:
    """The sinks of each input, in the order they take each call."""

    def __init__(self, con: Console, json: bool, name_width: int, dests: Destinations | None, verbose: bool) -> None:
        self.con, self.json, self.width, self.dests, self.verbose = con, json, name_width, dests, verbose

    def sinks(self, source: Source, fail: Fail, overlapped: bool = False) -> list[Sink]:
        """Begun in this order, ended in the reverse one, so a report ends after the copy it names.

        ``overlapped``: frames come from threads reading ahead, and a video copy is encoded on one too.
        """
        if source.still:
            # the copy is written first: the image's record names it
            image = ImageCopy(source, self.dests, fail) if self.dests is not None else None
            timings = Timings(source, self.con) if self.verbose else None
            return [s for s in (image, self._report(source, image), timings) if s is not None]
        # each frame's record comes before the frame is written to the copy
        video = VideoCopy(source, self.dests, fail, self.con.error, overlapped) if self.dests is not None else None
        return [s for s in (self._report(source, video), video) if s is not None]

    def _report(self, source: Source, copy: Copy | None) -> Sink:
        return JsonLines(source, self.con, copy) if self.json else Table(source, self.con, self.width, copy)

"""A run: each input's frames moved from its source through the detector to its sinks, and counted."""

from __future__ import annotations

import statistics
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quarn.inspection.detect.cli.console import Console, clock
from quarn.inspection.detect.cli.errors import InputError, OutputError, reason
from quarn.inspection.detect.cli.model import Model
from quarn.inspection.detect.cli.pipeline import Stages
from quarn.inspection.detect.cli.sinks import Outputs, Sink
from quarn.inspection.detect.cli.sources import Frame, Source

if TYPE_CHECKING:
    from quarn.inspection.detect.dfine_runner import Detection

# Videos and cameras are read, examined, reported and encoded in overlapping stages (see ``pipeline``); False
# runs them one frame at a time, as still images always are.  Tests and benchmarks compare the two.
PIPELINED = True


@dataclass
class Stats:
    """One counting rule for every mode: each input ends as processed or failed."""

    inputs: int
    processed: int = 0
    failed: int = 0
    images: int = 0  # images and frames run through the detector
    detections: int = 0
    timed: bool = False  # keep each image's times (--verbose); a camera left running must not grow
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


class Run:
    """Reads the inputs one after another; every frame goes through the detector to the input's sinks in order."""

    def __init__(self, model: Model, conf: float, con: Console, sources: Sequence[Source], outputs: Outputs) -> None:
        self.model, self.conf, self.con, self.sources, self.outputs = model, conf, con, sources, outputs
        self.stats = Stats(len(sources), timed=outputs.verbose)
        self.done = 0  # inputs finished, for "k of n" and the time left
        self.source: Source | None = None  # the input being read
        self.sinks: list[Sink] = []
        self.failed = False
        self.at: int | None = None  # the first frame whose report is not done, when frames are read ahead

    @property
    def where(self) -> str:
        """The input, and the frame in it, that the run has reached."""
        if self.source is None:
            return ""
        return self.source.where if self.at is None else f"{self.source.label} at frame {self.at}"

    def run(self) -> None:
        for source in self.sources:
            self.source, self.sinks, self.failed, self.at = source, [], False, None
            self._progress(source)
            try:
                self._read(source)
            except (BrokenPipeError, OutputError):
                raise
            except (InputError, OSError) as exc:
                self.fail(reason(exc))
            except Exception as exc:  # the module's DetectError, and what preprocessing raises on odd images
                self.fail(str(exc))
            if self.failed:
                self.stats.failed += 1
            else:
                self.stats.processed += 1
            self.done += 1
        self.con.finish()

    def _read(self, source: Source) -> None:
        overlapped = PIPELINED and not source.still
        self.sinks = self.outputs.sinks(source, self.fail, overlapped)
        complete = False
        try:
            source.open()
            for sink in self.sinks:
                sink.begin()
            if overlapped:
                self._overlapped(source)
            else:
                for frame in source:
                    self._arrived(source, frame)
                    self._report(frame, *self._examine(frame))
            for trouble in source.troubles():
                self.fail(trouble.message, record=trouble.record, fails=trouble.fails)
            complete = True
        finally:
            source.close()
            for sink in reversed(self.sinks):
                sink.end(complete)

    def _overlapped(self, source: Source) -> None:
        """The frames read and examined by threads ahead of this one, reported here in their order."""
        stages = Stages(source, self._examine)
        self.at = 0
        try:
            for frame, found, problem in stages:
                self.at = frame.index
                self._arrived(source, frame)
                self._report(frame, found, problem)
                self.at = (frame.index or 0) + 1
        finally:
            if (late := stages.close()) is not None:
                raise late  # a signal that came while the threads were stopping

    def _arrived(self, source: Source, frame: Frame) -> None:
        if frame.index is not None:  # a still image's progress was shown as it began
            self._progress(source, frame.index)
        if frame.lost:
            for sink in self.sinks:
                sink.lost(frame)

    def _examine(self, frame: Frame) -> tuple[list[Detection] | None, str | None]:
        """The frame's detections, timed, or None and why detection failed; (None, None) when it is not examined.

        It changes nothing of the run's: the detecting thread calls it.
        """
        if not frame.examine:
            return None, None
        t0 = time.perf_counter()
        try:
            found = self.model.detector.detect(frame.image, conf=self.conf)
        except Exception as exc:  # the module's DetectError and what preprocessing raises
            return None, str(exc)
        frame.detect_s = time.perf_counter() - t0
        return self.model.named(found), None

    def _report(self, frame: Frame, found: list[Detection] | None, problem: str | None) -> None:
        """Count the frame and give it to the sinks; a failed detection fails the input."""
        if problem is not None:
            self.fail(problem, frame.index)
        elif found is not None:
            if self.stats.timed:
                self.stats.detect_s.append(frame.detect_s)
                self.stats.read_s.append(frame.read_s)
            self.stats.images += 1
            self.stats.detections += len(found)
        for sink in self.sinks:
            sink.frame(frame, found)

    def fail(self, message: str, index: int | None = None, *, record: bool = True, fails: bool = True) -> None:
        """Say on stderr what went wrong with the input being read (or with its frame ``index``).

        ``record``: the sinks are told too (an error record in JSON);
        ``fails``: the input counts as failed.
        """
        assert self.source is not None
        where = self.source.label if index is None else f"{self.source.label}: frame {index}"
        self.con.error(f"{where}: {message}")
        self.failed = self.failed or fails
        if record:
            for sink in self.sinks:
                sink.fail(message, index)

    def _progress(self, source: Source, index: int | None = None) -> None:
        if not self.con.bar:
            return
        n, frames = self.stats.inputs, source.expected
        wall = time.perf_counter() - self.stats.start
        rate = self.stats.images / wall if wall > 0 else 0.0
        where = source.label if index is None else f"{source.label} frame {index}" + (f"/{frames}" if frames else "")
        within = index / frames if frames and index is not None else 0.0
        if source.live:
            count, part = f"{self.stats.images} frames", within
        else:
            count, part = f"{self.done}/{n}", (self.done + within) / n
        left = f"  {clock(wall / part * (1 - part))} left" if 0 < part < 1 else ""
        self.con.progress(f"{count}  {rate:.1f} images/s{left}  {where}", every_time=index is None)

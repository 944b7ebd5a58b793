"""A video's or camera's frames read, examined and reported in overlapping stages.

A reader thread decodes frames and a detecting thread runs the detector, each
handing its work on through a small bounded queue; the main thread takes the
frames back in their order and gives them to the sinks, and a saved video is
encoded on a thread of its own (``writing``).  So decoding, detection, drawing
and printing, and encoding overlap (``detect`` and OpenCV release the GIL for
their pixel work), and at most a few frames are held whatever the stages'
speeds.

The sinks and the console stay on the main thread, where SIGINT and SIGTERM
are handled: a signal stops the run there as in a one-frame-at-a-time loop,
never half-way through writing an output, and the two threads stop after the
frame each holds.  Whatever a stage raises is raised on the main thread in
the frame's place in the stream.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.cli.sources import Frame, Source

if TYPE_CHECKING:
    from quarn.inspection.detect.dfine_runner import Detection

    Examined = tuple[Frame, list[Detection] | None, str | None]  # the frame, its detections, why detection failed
    Examine = Callable[[Frame], tuple[list[Detection] | None, str | None]]

# Frames waiting between two stages: enough to even out the stages' jitter, few enough that a 4K stream
# holds a handful of frames in memory.
DEPTH = 2
# How often a thread waiting on a full or empty queue looks whether the run stopped.
_POLL_S = 0.05


class _End:
    """The input's last frame was passed on."""


@dataclass(frozen=True)
class _Raised:
    """What a stage raised, passed on in the stream so that it is raised where the serial loop would meet it."""

    error: BaseException


class Stages:
    """The reader and detecting threads of one input; iterating gives each frame, examined, in order.

    ``examine`` runs on the detecting thread and must leave the run's state
    alone; ``close()`` must follow, also when the iteration stops early.
    """

    def __init__(self, source: Source, examine: Examine) -> None:
        self._stop = threading.Event()
        self._frames: queue.Queue[Any] = queue.Queue(DEPTH)
        self._examined: queue.Queue[Any] = queue.Queue(DEPTH)
        self._threads = [threading.Thread(target=self._read, args=(source,), name="quarn-detect read"),
                         threading.Thread(target=self._examine, args=(examine,), name="quarn-detect examine")]
        try:
            for thread in self._threads:
                thread.start()
        except BaseException:  # no thread may be left waiting for the other (e.g. "can't start new thread")
            self.close()
            raise

    def __iter__(self) -> Iterator[Examined]:
        while True:
            # a blocking get: a signal still interrupts it, and the threads always end the stream
            item = self._examined.get()
            if isinstance(item, _End):
                return
            if isinstance(item, _Raised):
                raise item.error
            yield item

    def close(self) -> KeyboardInterrupt | None:
        """Stop both threads and wait for them: each ends after the frame it holds (one read, one detection).

        The wait is short and is not cut off, so that the input is still
        ended properly; a signal that comes meanwhile is returned, to be raised
        once it is.
        """
        self._stop.set()
        late = None
        for thread in self._threads:
            while thread.is_alive():
                try:
                    thread.join()
                except KeyboardInterrupt as exc:
                    late = exc
        return late

    def _read(self, source: Source) -> None:
        try:
            for frame in source:
                if not self._give(self._frames, frame):
                    return
        except BaseException as exc:  # raised on the main thread, in its place
            self._give(self._frames, _Raised(exc))
        else:
            self._give(self._frames, _End())

    def _examine(self, examine: Examine) -> None:
        while (item := self._take(self._frames)) is not None:
            if isinstance(item, _End | _Raised):
                self._give(self._examined, item)
                return
            try:
                found, problem = examine(item)
            except BaseException as exc:
                self._give(self._examined, _Raised(exc))
                return
            if not self._give(self._examined, (item, found, problem)):
                return

    def _give(self, to: queue.Queue[Any], item: object) -> bool:
        """Pass ``item`` on; False when the run stopped first."""
        while not self._stop.is_set():
            try:
                to.put(item, timeout=_POLL_S)
                return True
            except queue.Full:
                pass
        return False

    def _take(self, source: queue.Queue[Any]) -> Any:
        """The next item; None when the run stopped first."""
        while not self._stop.is_set():
            try:
                return source.get(timeout=_POLL_S)
            except queue.Empty:
                pass
        return None

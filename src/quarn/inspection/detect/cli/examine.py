"""One input at a time through the command line's own run loop, with what it prints kept.

``--ray`` workers and ``quarn-detect-model``'s ``eval`` and ``compare`` run
each input this way, so that they read files, fail and report exactly as
``quarn-detect`` does: an ``Examiner`` holds one loaded model and gives, per
input, the lines a plain run prints for it on stdout and stderr, and its
counts.  ``examine`` applies it to a list of inputs here, or on Ray workers,
with the same results in the same order.
"""

from __future__ import annotations

import functools
import io
import json
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.cli.console import Console
from quarn.inspection.detect.cli.model import Model, open_model
from quarn.inspection.detect.cli.run import Run, Stats
from quarn.inspection.detect.cli.sinks import Outputs
from quarn.inspection.detect.cli.sources import Source, Unusable

if TYPE_CHECKING:
    from quarn.inspection.detect.cluster import Options


@dataclass(frozen=True)
class Settings:
    """What a worker needs to load the model and report as the driver would; small, and sent to every worker."""

    model: str
    device: str | None = None
    conf: float = 0.25
    names: dict[int, str] | None = None  # a --names file's, read by the driver
    names_file: Path | None = None
    json: bool = True  # JSON records, else tables
    name_width: int = 5
    verbose: bool = False
    prog: str = "quarn-detect"


@dataclass
class Examined:
    """One input's outcome: the lines a plain run prints for it, and its counts."""

    out: list[str]
    err: list[str]
    failed: bool
    images: int = 0
    detections: int = 0
    read_s: list[float] = field(default_factory=list)
    detect_s: list[float] = field(default_factory=list)

    def records(self) -> list[dict[str, Any]]:
        """The JSON records (with ``json`` set): one per image or examined frame, and one per failure."""
        return [json.loads(line) for line in self.out]

    def count(self, stats: Stats) -> None:
        """Add this input to a run's counts."""
        if self.failed:
            stats.failed += 1
        else:
            stats.processed += 1
        stats.images += self.images
        stats.detections += self.detections
        stats.read_s += self.read_s
        stats.detect_s += self.detect_s


class Examiner:
    """One model, and the run loop applied to one input at a time with its console kept."""

    def __init__(self, settings: Settings, model: Model | None = None) -> None:
        self.settings = settings
        # a worker loads its own; its warnings were the driver's to give, once
        self.model = model if model is not None else \
            open_model(settings.model, settings.device, settings.names, settings.names_file, lambda _: None)

    def __call__(self, source: Source) -> Examined:
        s = self.settings
        out, err = io.StringIO(), io.StringIO()
        con = Console(out, err, s.prog)
        run = Run(self.model, s.conf, con, [source], Outputs(con, s.json, s.name_width, None, s.verbose))
        run.run()
        stats = run.stats
        return Examined(out.getvalue().splitlines(), err.getvalue().splitlines(), stats.failed > 0, stats.images,
                        stats.detections, stats.read_s, stats.detect_s)

    def lost(self, source: Source, reason: str) -> Examined:
        """What a plain run reports for an input that failed for ``reason``."""
        assert source.path is not None
        return self(Unusable(source.path, f"could not be processed: {reason}"))


def examine(examiner: Examiner, sources: Sequence[Source], ray: Options | None = None,
            tell: Callable[[str], None] | None = None) -> Iterator[Examined]:
    """Each input's outcome, in order: here with ``examiner``, or with ``ray`` on workers holding models of their own."""
    if ray is None:
        for source in sources:
            yield examiner(source)
        return
    from quarn.inspection.detect import cluster

    build = functools.partial(Examiner, examiner.settings)
    for source, got in zip(sources, cluster.spread(build, sources, ray, tell)):
        yield examiner.lost(source, got.reason) if isinstance(got, cluster.Lost) else got


def progress(con: Console, done: int, total: int, images: int, start: float, label: str) -> None:
    """A progress line on a terminal: inputs done, images per second, time left."""
    if not con.bar:
        return
    from quarn.inspection.detect.cli.console import clock

    wall = time.perf_counter() - start
    rate = images / wall if wall > 0 else 0.0
    left = f"  {clock(wall / done * (total - done))} left" if 0 < done < total else ""
    con.progress(f"{done}/{total}  {rate:.1f} images/s{left}  {label}", every_time=True)

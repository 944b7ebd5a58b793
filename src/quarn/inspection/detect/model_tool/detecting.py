"""What ``eval`` and ``compare`` share: their detection options, the model loaded as ``quarn-detect`` loads it, and
each input run through ``quarn-detect``'s own loop, here or on Ray workers, as JSON records."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect import cluster
from quarn.inspection.detect.option_values import add_device, fraction
from quarn.inspection.detect.model_tool.errors import PROG, Refused

if TYPE_CHECKING:
    from quarn.inspection.detect.cli.console import Console
    from quarn.inspection.detect.cli.examine import Examined
    from quarn.inspection.detect.cli.model import Model
    from quarn.inspection.detect.cli.sources import Source

def add_options(p: argparse.ArgumentParser, conf: float, conf_help: str) -> None:
    add_device(p)
    p.add_argument("-c", "--conf", type=fraction, default=conf, metavar="FLOAT", help=conf_help)
    p.add_argument("-j", "--json", action="store_true", help="print one JSON object instead of the table")
    cluster.add_options(p)
    p.set_defaults(parser=p)


def load(model: str, device: str | None, con: Console) -> Model:
    """The model as quarn-detect loads and checks it; its warnings (untrained weights) on stderr."""
    from quarn.inspection.detect.cli.errors import ModelError
    from quarn.inspection.detect.cli.model import open_model

    try:
        return open_model(model, device, None, None, con.error)
    except ModelError as exc:
        raise Refused(str(exc)) from None
    except ImportError as exc:  # the extension itself
        raise Refused(f"cannot load the detector ({exc}); reinstall: pip install quarn") from None


def examined(model: Model, name: str, device: str | None, conf: float, sources: Sequence[Source],
             ray: cluster.Options | None, con: Console) -> Iterator[Examined]:
    """Each input's outcome in order, with JSON records; progress on a terminal."""
    from quarn.inspection.detect.cli.examine import Examiner, Settings, examine, progress

    settings = Settings(name, device, conf, prog=PROG)
    start, images = time.perf_counter(), 0
    try:
        for k, (source, got) in enumerate(zip(sources, examine(Examiner(settings, model), sources, ray))):
            images += got.images
            progress(con, k + 1, len(sources), images, start, source.label)
            yield got
    except cluster.ClusterError as exc:
        raise Refused(str(exc)) from None
    finally:
        con.finish()


def detections(record: dict[str, Any]) -> list[tuple[int, float, list[int]]]:
    """(class id, score, xyxy) of each detection of an image's record."""
    from quarn.inspection.detect.model_tool.scoring import score

    return [(d["cls_id"], score(d["conf"]), d["xyxy"]) for d in record["detections"]]

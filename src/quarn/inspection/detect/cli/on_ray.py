"""``quarn-detect --ray PATH...``: the inputs spread over Ray workers, each running this command's own loop.

What each input prints comes back from its worker and is printed here in
input order, so the output is a plain run's: the same records, the same
errors, the same closing counts.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from quarn.inspection.detect.cli.console import Console
from quarn.inspection.detect.cli.examine import Examiner, Settings, examine, progress
from quarn.inspection.detect.cli.model import Model
from quarn.inspection.detect.cli.run import Stats
from quarn.inspection.detect.cli.sources import Source


def serve(con: Console, args: argparse.Namespace, device: str | None, names: dict[int, str] | None, model: Model,
          sources: Sequence[Source], name_width: int) -> int:
    """Run ``sources`` on the workers ``args.ray_options`` names; the exit status of the run."""
    from quarn.inspection.detect.cluster import ClusterError

    settings = Settings(args.model, device, args.conf, names, args.names, args.json, name_width, args.verbose, con.prog)
    stats = Stats(len(sources))
    tell = con.note if args.verbose else None
    try:
        for k, (source, got) in enumerate(zip(sources, examine(Examiner(settings, model), sources, args.ray_options, tell))):
            for line in got.out:
                con.print(line)
            for line in got.err:
                con.note(line)
            got.count(stats)
            progress(con, k + 1, len(sources), stats.images, stats.start, source.label)
    except ClusterError as exc:
        con.finish()
        con.error(f"error: {exc}")
        return 1
    con.finish()
    con.note(stats.summary(args.verbose))
    return 1 if stats.failed else 0

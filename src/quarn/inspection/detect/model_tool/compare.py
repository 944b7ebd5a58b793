"""``quarn-detect-model compare``: how far a candidate model agrees with the reference model on the same images.

The gate before a model is switched on a line (a retrained file, a float16 or
quantized copy): the reference's detections at ``--conf`` are taken as the
objects to find, and the candidate is scored against them with pycocotools.
Exit status 0 when the candidate's total AP50 reaches ``--min-ap50`` and every
input was compared, else 1.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect import cluster, option_values
from quarn.inspection.detect.option_values import count, fraction
from quarn.inspection.detect.model_tool import detecting, scoring
from quarn.inspection.detect.model_tool.errors import PROG

if TYPE_CHECKING:
    from quarn.inspection.detect.cli.console import Console

Frame = tuple[str, int | None]  # the file as the records name it, and the frame of a video


def add_parser(sub: Any) -> None:
    c = sub.add_parser(
        "compare",
        help="check that a candidate model finds what the reference model finds, on the same images",
        description="Run REFERENCE and CANDIDATE on the same images, videos and folders (read as quarn-detect reads "
        "them) and score the candidate against the reference's detections with pycocotools: the share of reference "
        "detections matched by a candidate detection of the same class at IoU >= 0.5, the mean IoU and largest "
        "score difference of the matches, the candidate's extra detections, and its AP50; per image and in total. "
        "Exit status: 0 when the total AP50 is at least --min-ap50 and every input was compared, 1 otherwise, "
        "2 usage error.",
    )
    c.add_argument("reference", metavar="REFERENCE.onnx", help="the model in use (name or path)")
    c.add_argument("candidate", metavar="CANDIDATE.onnx", help="the model that would replace it")
    c.add_argument("inputs", nargs="+", metavar="PATH", help="image or video files and/or folders")
    c.add_argument("-r", "--recursive", action="store_true", help="also search sub-folders of folder arguments")
    c.add_argument("--every", type=count(1), default=1, metavar="N", help="in videos, compare frames 0, N, 2N, ... only")
    c.add_argument("--frames", type=count(1), metavar="N", help="read at most N frames from each video")
    c.add_argument("--min-ap50", type=fraction, default=0.95, metavar="X",
                   help="the candidate passes when its total AP50 is at least X (default: %(default)s)")
    detecting.add_options(c, 0.5, "the confidence at which detections count, for both models (default: %(default)s); "
                          "AP50 ranks all the candidate's detections")
    c.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quarn.inspection.detect.cli.console import Console
    from quarn.inspection.detect.cli.inputs import collect
    from quarn.inspection.detect.cli.sources import Stride

    ray = cluster.options(args.parser, args)
    scoring.check_installed()
    con = Console(sys.stdout, sys.stderr, PROG)
    device = option_values.device(args)
    models = [detecting.load(name, device, con) for name in (args.reference, args.candidate)]
    sources = collect(args.inputs, args.recursive, Stride(args.every, args.frames))
    with cluster.session(ray) if ray is not None else contextlib.nullcontext():  # one Ray for both models
        # the reference as the line runs it; the candidate with every record, which AP ranks
        passes = [list(detecting.examined(model, name, device, conf, sources, ray, con))
                  for model, name, conf in zip(models, (args.reference, args.candidate), (args.conf, 0.0))]
    frames, problems = _pair(passes[0], passes[1], con)
    import numpy as np  # here: the tool's other commands start without it

    kept = np.float32(args.conf)  # as detect keeps records: float32 scores against the threshold in float32
    per_frame, total = scoring.agreement(
        [(ref, [d for d in cand if np.float32(d[1]) >= kept], cand) for ref, cand in frames.values()])
    passed = not problems and total.ap50 is not None and total.ap50 >= args.min_ap50
    _report(con, args, list(frames), per_frame, total, problems, passed)
    return 0 if passed else 1


def _pair(reference: Sequence[Any], candidate: Sequence[Any], con: Console) -> tuple[dict[Frame, tuple[Any, Any]], int]:
    """The frames both models examined, each with both detection lists; and how many inputs or frames were not."""
    frames: dict[Frame, tuple[Any, Any]] = {}
    problems = 0
    for ref, cand in zip(reference, candidate):
        for line in ref.err + [line for line in cand.err if line not in ref.err]:  # a file both failed to read, once
            con.note(line)
        theirs = {(r["file"], r.get("frame")): r for r in cand.records()}
        for r in ref.records():
            key = (r["file"], r.get("frame"))
            other = theirs.pop(key, None)
            if "error" in r or other is None or "error" in other:
                problems += 1
                continue
            frames[key] = (detecting.detections(r), detecting.detections(other))
        problems += len(theirs)
    return frames, problems


def _report(con: Console, args: argparse.Namespace, frames: list[Frame], per_frame: list[scoring.Agreement],
            total: scoring.Agreement, problems: int, passed: bool) -> None:
    from quarn.inspection.detect.cli.console import json_line, shown

    verdict = _verdict(args, total, problems, passed)
    if args.json:
        con.print(json_line({
            "reference": args.reference, "candidate": args.candidate, "conf": args.conf, "min_ap50": args.min_ap50,
            "passed": passed, "images": len(frames), "not_compared": problems, "total": total.fields(),
            "per_image": [{"file": f, **({"frame": k} if k is not None else {}), **a.fields()}
                          for (f, k), a in zip(frames, per_frame)]}))
        con.note(f"{PROG}: {verdict}")
        return
    labels = [shown(f if k is None else f"{f} frame {k}") for f, k in frames]
    last = f"total ({len(frames)} image{'s' if len(frames) != 1 else ''})"
    width = max(len(last), *map(len, labels)) if labels else len(last)
    con.print(f"{'':<{width}}  {'reference':>9}  {'matched':>7}  {'share':>6}  {'mean IoU':>8}  {'max score diff':>14}  "
              f"{'extra':>5}  {'AP50':>6}")
    for label, a in zip([*labels, last], [*per_frame, total]):
        f = a.fields()
        con.print(f"{label:<{width}}  {f['reference_detections']:>9}  {f['matched']:>7}  {_number(f['matched_share']):>6}  "
                  f"{_number(f['mean_iou']):>8}  {_number(f['max_score_diff'], 4):>14}  {f['extra']:>5}  {_number(f['ap50']):>6}")
    con.print(verdict)


def _verdict(args: argparse.Namespace, total: scoring.Agreement, problems: int, passed: bool) -> str:
    if problems:
        return f"FAIL: {problems} input{'s' if problems != 1 else ''} or frame{'s' if problems != 1 else ''} could not be compared"
    if total.ap50 is None:
        return f"FAIL: the reference finds nothing at --conf {args.conf:g} on these images: nothing to compare against"
    sign = ">=" if passed else "<"
    return f"{'PASS' if passed else 'FAIL'}: candidate AP50 {total.ap50:.4f} {sign} {args.min_ap50:g} (--min-ap50)"


def _number(value: float | None, places: int = 3) -> str:
    return "-" if value is None else f"{value:.{places}f}"

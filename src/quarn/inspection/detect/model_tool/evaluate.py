"""``quarn-detect-model eval``: a model scored on the images a COCO annotation file lists, with pycocotools."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.contract import DEFAULT_MODEL
from quarn.inspection.detect import cluster, option_values
from quarn.inspection.detect.model_tool import detecting, scoring
from quarn.inspection.detect.model_tool.annotations import Annotations, Image, read_annotations, read_category_map
from quarn.inspection.detect.model_tool.errors import PROG

if TYPE_CHECKING:
    from quarn.inspection.detect.cli.console import Console
    from quarn.inspection.detect.cli.examine import Examined
    from quarn.inspection.detect.cli.sources import ImageFile


def add_parser(sub: Any) -> None:
    e = sub.add_parser(
        "eval",
        help="score a model on COCO-annotated images: the twelve COCO figures, computed by pycocotools",
        description="Run the detector over the images a COCO annotation file lists and score its detections with "
        "pycocotools: AP, AP50, AP75, AP small/medium/large, AR1/AR10/AR100, AR small/medium/large. Model classes "
        "map to the file's categories by name, or by --category-map. Exit status: 0 when every image was scored, "
        "1 when some image or annotation could not be used (the figures cover the rest), 2 usage error.",
    )
    e.add_argument("--coco", type=Path, required=True, metavar="ANNOTATIONS.json", help="the COCO annotation file")
    e.add_argument("--images", type=Path, metavar="DIR",
                   help="the folder its file_name entries are in (default: the annotation file's folder)")
    e.add_argument("-m", "--model", default=DEFAULT_MODEL, metavar="NAME_OR_PATH",
                   help="model file name or path (default: %(default)s)")
    e.add_argument("--category-map", type=Path, metavar="FILE",
                   help='a JSON object from model class id to category id, e.g. {"0": 1, "1": 3}, used instead of '
                   "matching names; classes it leaves out are not scored")
    e.add_argument("--per-class", action="store_true", help="also give AP per category")
    detecting.add_options(e, 0.0, "minimum confidence, 0..1 (default: %(default)s: every record, as scoring needs)")
    e.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quarn.inspection.detect.cli.console import Console

    ray = cluster.options(args.parser, args)
    scoring.check_installed()
    con = Console(sys.stdout, sys.stderr, PROG)
    found = read_annotations(args.coco)
    for problem in found.problems:
        con.error(f"error: {problem}")
    device = option_values.device(args)
    model = detecting.load(args.model, device, con)
    mapping = read_category_map(args.category_map, found.categories) if args.category_map is not None \
        else _by_name(model.names, found.categories)
    _note_unmapped(con, found, mapping)
    folder = args.images if args.images is not None else args.coco.parent
    results = detecting.examined(model, args.model, device, args.conf, _sources(folder, found), ray, con)
    scored, dets, failed = _detect(con, found.images, results, mapping)
    result, per_class = _score(found, scored, dets, args.per_class)
    if args.json:
        _print_json(con, args, found, len(scored), result, per_class)
    else:
        _print_table(con, args, found, len(scored), result, per_class)
    if not scored:
        con.error("error: no image could be scored")
    return 1 if found.problems or failed or not scored else 0


def _note_unmapped(con: Console, found: Annotations, mapping: dict[int, int]) -> None:
    """A note naming the categories no model class maps to: their objects can only be missed."""
    missing = [c for c in found.categories if c not in mapping.values()]
    if missing:
        many = len(missing) > 1
        con.note(f"{PROG}: note: no model class for categor{'ies' if many else 'y'} "
                 f"{', '.join(f'{c} {found.categories[c]!r}' for c in missing)}: {'their' if many else 'its'} "
                 "objects count as missed")


def _sources(folder: Path, found: Annotations) -> list[ImageFile]:
    from quarn.inspection.detect.cli.sources import ImageFile

    return [ImageFile(folder / image.file_name, Path(image.file_name)) for image in found.images]


def _detect(con: Console, images: list[Image], results: Iterable[Examined],
            mapping: dict[int, int]) -> tuple[list[int], list[dict[str, Any]], int]:
    """The ids of the images scored, their detections as pycocotools results, and how many images failed."""
    scored: list[int] = []
    dets: list[dict[str, Any]] = []
    failed = 0
    for image, got in zip(images, results):
        for line in got.err:
            con.note(line)
        (record,) = got.records()
        if got.failed or _size_differs(con, image, record):
            failed += 1
            continue
        scored.append(image.id)
        dets += [{"image_id": image.id, "category_id": mapping[c], "bbox": scoring.coco_box(xyxy), "score": s}
                 for c, s, xyxy in detecting.detections(record) if c in mapping]
    return scored, dets, failed


def _size_differs(con: Console, image: Image, record: dict[str, Any]) -> bool:
    """Whether the image read is not the size the annotation file gives (told as an error): its boxes would not fit."""
    size = (record["width"], record["height"])
    if image.width is None or image.height is None or size == (image.width, image.height):
        return False
    con.error(f"error: {record['file']}: the image is {size[0]}x{size[1]}, the annotation file says "
              f"{image.width}x{image.height}; not scored")
    return True


def _print_json(con: Console, args: argparse.Namespace, found: Annotations, scored: int,
                result: dict[str, float | None], per_class: dict[int, float | None]) -> None:
    from quarn.inspection.detect.cli.console import json_line

    fields: dict[str, Any] = {**result, "images": scored, "model": args.model}
    if args.per_class:
        fields["per_class"] = [{"id": c, "name": found.categories[c], "AP": ap} for c, ap in per_class.items()]
    con.print(json_line(fields))


def _print_table(con: Console, args: argparse.Namespace, found: Annotations, scored: int,
                 result: dict[str, float | None], per_class: dict[int, float | None]) -> None:
    from quarn.inspection.detect.cli.console import shown

    con.print(shown(f"{args.coco}: {scored} of {found.listed} images scored, "
                    f"{_many(len(found.boxes), 'object')} in {_many(len(found.categories), 'category', 'categories')}; "
                    f"model {args.model}, conf {args.conf:g}"))
    for name, value in result.items():
        iou, area, most = scoring.MEANING[name]
        con.print(f"  {name:<6}{_number(value):>6}   IoU={iou:<9} area={area:<7} maxDets={most}")
    if args.per_class:
        width = max(4, *(len(shown(n)) for n in found.categories.values())) if found.categories else 4
        con.print("per category: AP (IoU=0.50:0.95, area=all, maxDets=100)")
        for c, ap in per_class.items():
            con.print(f"  {c:>6}  {shown(found.categories[c]):<{width}}  {_number(ap):>6}")


def _by_name(names: dict[int, str], categories: dict[int, str]) -> dict[int, int]:
    """Model class id -> category id, where the names are the same."""
    ids = {name: c for c, name in categories.items()}
    return {k: ids[name] for k, name in names.items() if name in ids}


def _score(found: Annotations, scored: list[int], dets: list[dict[str, Any]],
           per_class: bool) -> tuple[dict[str, float | None], dict[int, float | None]]:
    if not scored:
        return dict.fromkeys(scoring.FIGURES), dict.fromkeys(found.categories)
    scorer = scoring.Scorer([image.id for image in found.images], found.categories, found.boxes)
    e = scorer.evaluate(scorer.results(dets), scored)
    return scoring.figures(e), scoring.class_ap(e) if per_class else {}


def _many(n: int, one: str, more: str = "") -> str:
    return f"{n} {one if n == 1 else more or one + 's'}"


def _number(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.3f}"


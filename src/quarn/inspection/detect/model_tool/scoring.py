"""Scoring detections with pycocotools, the COCO project's own evaluation code: ``eval``'s figures and ``compare``'s.

Every figure is the library's: its ``COCOeval`` matches detections to objects
(by score, each taking the best unmatched object of its class at the IoU
threshold) and computes the twelve summary figures; this module only builds
its inputs and reads its results.  The detector's boxes are integer pixel
corners ``(x1, y1, x2, y2)``; COCO's are ``[x, y, width, height]``, so a box is
``[x1, y1, x2 - x1, y2 - y1]`` (the corners' truncation to whole pixels is the
detector's, and stays).  A figure pycocotools reports as -1 (no object of
that kind to find, such as APs without small objects) is None here.
"""

from __future__ import annotations

import contextlib
import io
import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from quarn.inspection.detect.model_tool.errors import Refused

FIGURES = ("AP", "AP50", "AP75", "APs", "APm", "APl", "AR1", "AR10", "AR100", "ARs", "ARm", "ARl")
# what each figure is, in pycocotools' terms: IoU thresholds, object size, detections per image
MEANING = {
    "AP": ("0.50:0.95", "all", 100), "AP50": ("0.50", "all", 100), "AP75": ("0.75", "all", 100),
    "APs": ("0.50:0.95", "small", 100), "APm": ("0.50:0.95", "medium", 100), "APl": ("0.50:0.95", "large", 100),
    "AR1": ("0.50:0.95", "all", 1), "AR10": ("0.50:0.95", "all", 10), "AR100": ("0.50:0.95", "all", 100),
    "ARs": ("0.50:0.95", "small", 100), "ARm": ("0.50:0.95", "medium", 100), "ARl": ("0.50:0.95", "large", 100),
}
MISSING = 'scoring needs pycocotools, which is not installed. Install it with: pip install "quarn[model]"'


def _tools() -> tuple[Any, Any, Any]:
    try:
        from pycocotools import mask
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval
    except ImportError as exc:
        raise Refused(MISSING) from exc
    return COCO, COCOeval, mask


def check_installed() -> None:
    """Refuse before any work when the library is missing."""
    _tools()


def coco_box(xyxy: Sequence[int]) -> list[float]:
    x1, y1, x2, y2 = xyxy
    return [float(x1), float(y1), float(x2 - x1), float(y2 - y1)]


def score(value: float | None) -> float:
    """A record's score; JSON's null stands for the infinite score of a broken model (NaN is never kept)."""
    return math.inf if value is None else float(value)


class Scorer:
    """Ground truth for pycocotools, and detections scored against it."""

    def __init__(self, image_ids: Iterable[int], categories: dict[int, str], boxes: list[dict[str, Any]]) -> None:
        coco, self._eval, self.mask = _tools()
        self.truth = coco()
        self.truth.dataset = {"images": [{"id": i} for i in image_ids],
                              "categories": [{"id": c, "name": n} for c, n in categories.items()],
                              "annotations": boxes}
        with _quiet():
            self.truth.createIndex()
        self._coco = coco

    def results(self, detections: list[dict[str, Any]]) -> Any:
        """pycocotools' result set of ``detections`` ({"image_id", "category_id", "bbox", "score"} each)."""
        if detections:
            with _quiet():
                return self.truth.loadRes([dict(d) for d in detections])  # it adds fields to each
        empty = self._coco()  # loadRes refuses an empty list; no detection at all is a result too
        empty.dataset = {"images": self.truth.dataset["images"], "categories": self.truth.dataset["categories"],
                         "annotations": []}
        with _quiet():
            empty.createIndex()
        return empty

    def evaluate(self, results: Any, image_ids: Sequence[int], **params: Any) -> Any:
        """COCOeval of ``results`` on ``image_ids`` (not empty), summarised unless ``params`` change its settings."""
        assert image_ids  # pycocotools takes an empty list as every image
        e = self._eval(self.truth, results, "bbox")
        e.params.imgIds = sorted(image_ids)
        for key, value in params.items():
            setattr(e.params, key, value)
        with _quiet():
            e.evaluate()
            if not params:
                e.accumulate()
                e.summarize()
        return e


def figures(e: Any) -> dict[str, float | None]:
    """The twelve summary figures of a summarised COCOeval, by name."""
    return {name: _figure(v) for name, v in zip(FIGURES, e.stats)}


def class_ap(e: Any) -> dict[int, float | None]:
    """AP (IoU 0.50:0.95, all sizes, 100 detections) per category: the summary's AP over one category's precision."""
    p = e.params
    precision = e.eval["precision"][:, :, :, p.areaRngLbl.index("all"), p.maxDets.index(100)]
    out = {}
    for k, cat in enumerate(p.catIds):
        s = precision[:, :, k]
        out[int(cat)] = float(s[s > -1].mean()) if (s > -1).any() else None
    return out


def _figure(value: float) -> float | None:
    return None if value < 0 else float(value)


@contextlib.contextmanager
def _quiet() -> Any:
    with contextlib.redirect_stdout(io.StringIO()):  # pycocotools reports every step on stdout
        yield


# ---------------------------------------------------------------- compare: one model's records against another's

@dataclass
class Agreement:
    """How far the candidate's detections agree with the reference's, over one image or many."""

    reference: int = 0  # reference detections
    matched: int = 0  # of them, matched by a candidate detection of the same class at IoU >= 0.5
    extra: int = 0  # candidate detections matching none
    ious: list[float] = field(default_factory=list)  # of the matches
    score_diffs: list[float] = field(default_factory=list)  # candidate minus reference score, of the matches
    ap50: float | None = None

    def add(self, other: Agreement) -> None:
        self.reference += other.reference
        self.matched += other.matched
        self.extra += other.extra
        self.ious += other.ious
        self.score_diffs += other.score_diffs

    def fields(self) -> dict[str, Any]:
        return {"reference_detections": self.reference, "matched": self.matched,
                "matched_share": self.matched / self.reference if self.reference else None,
                "mean_iou": sum(self.ious) / len(self.ious) if self.ious else None,
                "max_score_diff": max(map(abs, self.score_diffs)) if self.score_diffs else None,
                "extra": self.extra, "ap50": self.ap50}


Dets = Sequence[tuple[int, float, Sequence[int]]]  # (class id, score, xyxy)


def agreement(frames: Sequence[tuple[Dets, Dets, Dets]]) -> tuple[list[Agreement], Agreement]:
    """Per frame and in total: the reference's detections taken as the objects to find, the candidate's matched.

    Each frame gives (reference detections at the threshold, candidate
    detections at the threshold, all the candidate's detections).  The share
    matched, IoUs and score differences come from pycocotools' own matching
    at IoU 0.5 (same class, by score); AP50 scores all the candidate's
    detections, since AP ranks them by score.
    """
    image_ids = list(range(1, len(frames) + 1))
    classes = sorted({c for frame in frames for dets in frame for c, _, _ in dets})
    truth = _reference_objects(image_ids, frames)
    scorer = Scorer(image_ids, {c + 1: str(c) for c in classes}, truth)
    per_frame = [Agreement(reference=len(f[0])) for f in frames]
    total = Agreement(reference=len(truth))
    if not frames:
        return per_frame, total
    kept = _candidate_results(scorer, image_ids, frames, 1)
    matching = scorer.evaluate(kept, image_ids, iouThrs=[0.5], areaRng=[[0, 1e10]], areaRngLbl=["all"],
                               maxDets=[max(1, max(len(f[1]) for f in frames))])
    _count_matches(scorer, kept, matching.evalImgs, per_frame)
    everything = _candidate_results(scorer, image_ids, frames, 2)
    for i, got in zip(image_ids, per_frame):
        total.add(Agreement(0, got.matched, got.extra, got.ious, got.score_diffs))
        if got.reference:
            got.ap50 = figures(scorer.evaluate(everything, [i]))["AP50"]
    total.ap50 = figures(scorer.evaluate(everything, image_ids))["AP50"]
    return per_frame, total


def _reference_objects(image_ids: list[int], frames: Sequence[tuple[Dets, Dets, Dets]]) -> list[dict[str, Any]]:
    """The reference's detections as ground truth, numbered from 1; each keeps its score for the differences."""
    return [{"id": n, "image_id": i, "category_id": c + 1, "bbox": coco_box(xyxy), "area": _area(xyxy), "iscrowd": 0,
             "score": s}
            for n, (i, (c, s, xyxy)) in enumerate(((i, d) for i, f in zip(image_ids, frames) for d in f[0]), 1)]


def _candidate_results(scorer: Scorer, image_ids: list[int], frames: Sequence[tuple[Dets, Dets, Dets]],
                       k: int) -> Any:
    """pycocotools' result set of the candidate detections each frame holds at ``k``."""
    return scorer.results([{"image_id": i, "category_id": c + 1, "bbox": coco_box(xyxy), "score": s}
                           for i, f in zip(image_ids, frames) for c, s, xyxy in f[k]])


def _count_matches(scorer: Scorer, kept: Any, evaluated: list[Any], per_frame: list[Agreement]) -> None:
    """Each frame's matches and extras, read from pycocotools' matching at its one IoU threshold."""
    for e in evaluated:
        if e is None:  # an image and category with nothing on either side
            continue
        got = per_frame[e["image_id"] - 1]
        for dt_id, gt_id in zip(e["dtIds"], e["dtMatches"][0]):
            if not gt_id:
                got.extra += 1
                continue
            dt, gt = kept.anns[dt_id], scorer.truth.anns[int(gt_id)]
            got.matched += 1
            got.ious.append(float(scorer.mask.iou([dt["bbox"]], [gt["bbox"]], [0])[0][0]))
            got.score_diffs.append(dt["score"] - gt["score"])


def _area(xyxy: Sequence[int]) -> float:
    x1, y1, x2, y2 = xyxy
    return float((x2 - x1) * (y2 - y1))

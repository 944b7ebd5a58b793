"""Check that an adapted raw export detects what tools/export_dfine.py's own graph detects.

Both files must hold the same weights: the raw one from ``export_dfine.py --raw``
(or a published export), the other from ``export_dfine.py`` with the same
checkpoint or seed.  The raw file is passed through ``quarn-detect-model adapt``
into a temporary folder; then, per image, both models see the same network
inputs and their records are matched:

    python tools/export_dfine.py --size m --raw --output raw.onnx
    python tools/export_dfine.py --size m --output contract.onnx
    python tools/compare_adapted.py raw.onnx contract.onnx photo1.png photo2.jpg

Needs only the package and onnx (``pip install ".[model]"``); no torch.  The two
graphs differ in how the network was exported (export_dfine.py fuses the
RepVGG blocks), so boxes and scores agree to float rounding, not bit for bit.
Exits non-zero when a record has no partner.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import cv2
import numpy as np

from quarn.inspection.detect import dfine_runner as dr
from quarn.inspection.detect.model_tool.adapt import adapt


def match(a, b, score_atol: float, box_atol: float):
    """Pair the rows of two (labels, boxes, scores) results; near-equal scores may come in either order.

    Returns (pairs kept in place, pairs reordered, rows of ``a`` without partner, max |box diff|, max |score diff|).
    """
    (la, ba, sa), (lb, bb, sb) = a, b
    used = np.zeros(len(lb), dtype=bool)
    in_place = reordered = 0
    unmatched = []
    box_diff = score_diff = 0.0
    for i in range(len(la)):
        cand = np.flatnonzero(
            ~used & (lb == la[i]) & (np.abs(sb - sa[i]) <= score_atol) & np.all(np.abs(bb - ba[i]) <= box_atol, axis=1)
        )
        if cand.size == 0:
            unmatched.append(i)
            continue
        j = cand[np.argmin(np.abs(cand - i))]
        used[j] = True
        in_place += int(j == i)
        reordered += int(j != i)
        box_diff = max(box_diff, float(np.max(np.abs(bb[j] - ba[i]))))
        score_diff = max(score_diff, abs(float(sb[j] - sa[i])))
    return in_place, reordered, unmatched, box_diff, score_diff


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("raw", type=Path, help="raw export: pixel_values -> logits, pred_boxes")
    parser.add_argument("contract", type=Path, help="export_dfine.py's graph for the same weights")
    parser.add_argument("images", type=Path, nargs="+")
    parser.add_argument("--conf", type=float, default=0.25, help="threshold for the record counts (default 0.25)")
    args = parser.parse_args()

    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        adapted = adapt(args.raw, Path(tmp) / "adapted.onnx", force=False)
        det_a = dr.DfineDetector(str(adapted), "cpu")
        det_c = dr.DfineDetector(str(args.contract), "cpu")
        worst_box = worst_score = 0.0
        for path in args.images:
            image = cv2.imread(str(path), cv2.IMREAD_COLOR)
            if image is None:
                print(f"{path}: cannot read", file=sys.stderr)
                return 2
            pixels, size = det_a._preprocess(image)
            feed = {"images": pixels, "orig_target_sizes": size}
            got = [x[0] for x in det_a.session.run(["labels", "boxes", "scores"], feed)]
            ref = [x[0] for x in det_c.session.run(["labels", "boxes", "scores"], feed)]
            in_place, reordered, unmatched, box_diff, score_diff = match(got, ref, 1e-4, 0.5)
            # a partner may be missing only at the top-k cut-off, where near-equal scores decide
            stray = [i for i in unmatched if got[2][i] - ref[2].min() > 1e-4]
            rec_a, rec_c = det_a.detect(image, conf=args.conf), det_c.detect(image, conf=args.conf)
            same = [(d.cls_id, d.xyxy) for d in rec_a] == [(d.cls_id, d.xyxy) for d in rec_c]
            h, w = image.shape[:2]
            print(
                f"{path.name} ({w}x{h}): {len(got[0])} rows, {in_place} in place, {reordered} reordered within score ties,"
                f" {len(unmatched) - len(stray)} swapped at the top-k cut-off, {len(stray)} without partner;"
                f" max |box diff| {box_diff:.3g} px, max |score diff| {score_diff:.2g};"
                f" records at conf {args.conf:g}: {len(rec_a)} adapted, {len(rec_c)} export_dfine,"
                f" {'identical' if same else 'DIFFERENT'} (class, int box) lists"
            )
            ok = ok and not stray and len(rec_a) == len(rec_c)
            worst_box, worst_score = max(worst_box, box_diff), max(worst_score, score_diff)
    print(f"{'OK' if ok else 'FAILED'}: largest box difference {worst_box:.3g} px, largest score difference {worst_score:.2g}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

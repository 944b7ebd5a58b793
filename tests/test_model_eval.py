"""quarn-detect-model eval and compare, on stand-in models whose detections are known, scored against pycocotools'
own figures computed here from those known detections."""

import contextlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from helpers import build_known, known_boxes

pytest.importorskip("onnx")
coco = pytest.importorskip("pycocotools.coco")
cocoeval = pytest.importorskip("pycocotools.cocoeval")
model_tool = pytest.importorskip("quarn.inspection.detect.model_tool")

FIGURES = ("AP", "AP50", "AP75", "APs", "APm", "APl", "AR1", "AR10", "AR100", "ARs", "ARm", "ARl")
NAMES = ["scratch", "dent", "burr"]
CATEGORIES = {"scratch": 1, "dent": 2, "burr": 5}  # the annotation file's ids: not the model's 0, 1, 2
# four detections, two of class 0, with fixed scores (the weights are 0): fractions chosen so that the boxes of
# images whose sides are multiples of 16 are exact
LABELS = [0, 1, 2, 0]
BOXES = [(0.25, 0.25, 0.75, 0.75), (0.0625, 0.125, 0.1875, 0.375), (0.5, 0.0625, 0.9375, 0.25), (0.0, 0.5, 0.25, 1.0)]
SCORES = [0.9, 0.8, 0.7, 0.6]
SIZES = [(320, 240), (160, 128), (256, 256), (640, 480)]


@pytest.fixture
def known(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    build_known("known.onnx", LABELS, BOXES, np.zeros((3, 4)), SCORES, names=NAMES)
    return "./known.onnx"


def picture(path, w, h, bgr=(40, 120, 200)):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    cv2.imwrite(str(path), np.full((h, w, 3), bgr, np.uint8))


def detections_of(w, h):
    """The known model's detections on a w x h image: (class, score, [x, y, width, height])."""
    return [(c, float(np.float32(s)), [x1, y1, x2 - x1, y2 - y1])
            for c, s, (x1, y1, x2, y2) in zip(LABELS, SCORES, known_boxes(BOXES, w, h))]


def perfect_truth():
    """Images named by size and annotations that are exactly what the model finds."""
    images = [{"id": 10 + k, "file_name": f"img/{w}x{h}.png", "width": w, "height": h} for k, (w, h) in enumerate(SIZES)]
    anns = [{"image_id": im["id"], "category_id": CATEGORIES[NAMES[c]], "bbox": box}
            for im in images for c, _, box in detections_of(im["width"], im["height"])]
    return images, anns


def write_coco(path, images, anns, categories=CATEGORIES):
    for im in images:
        picture(Path(path).parent / im["file_name"], im["width"], im["height"])
    data = {"images": list(images), "categories": [{"id": i, "name": n} for n, i in categories.items()],
            "annotations": [{"id": k, "area": a["bbox"][2] * a["bbox"][3], "iscrowd": 0, **a} for k, a in enumerate(anns, 1)]}
    Path(path).write_text(json.dumps(data))
    return data


def library_figures(data, image_ids, dets, cat_ids=None):
    """pycocotools on its own: the ground truth as written, the known detections; the 12 figures (-1 as None)."""
    with contextlib.redirect_stdout(io.StringIO()):
        gt = coco.COCO()
        gt.dataset = json.loads(json.dumps(data))
        gt.createIndex()
        e = cocoeval.COCOeval(gt, gt.loadRes(dets), "bbox")
        e.params.imgIds = image_ids
        if cat_ids is not None:
            e.params.catIds = cat_ids
        e.evaluate()
        e.accumulate()
        e.summarize()
    return {k: (None if v < 0 else float(v)) for k, v in zip(FIGURES, e.stats)}


def known_detections(images):
    return [{"image_id": im["id"], "category_id": CATEGORIES[NAMES[c]], "bbox": box, "score": s}
            for im in images for c, s, box in detections_of(im["width"], im["height"])]


def shifted(anns):
    return [{**a, "bbox": [a["bbox"][0] + a["bbox"][2] * 0.3, *a["bbox"][1:]]} if a["category_id"] == 1 else a for a in anns]


def relabelled(anns):
    return [{**a, "category_id": 2} if a["category_id"] == 5 else a for a in anns]


def with_missed(anns):
    return anns + [{"image_id": a["image_id"], "category_id": 5, "bbox": [1, 1, 8, 8]} for a in anns if a["category_id"] == 2]


@pytest.mark.parametrize("change, expect", [
    (None, lambda f: all(f[k] == pytest.approx(1.0) for k in ("AP", "AP50", "AP75", "AR10", "AR100"))),
    (shifted, lambda f: f["AP50"] == pytest.approx(1.0) and f["AP75"] < 0.9 and f["AP"] < 0.9),  # IoU 0.7 for class 0
    (relabelled, lambda f: f["AP50"] < 0.9 and f["AR100"] < 0.9),  # burrs annotated as dents
    (with_missed, lambda f: f["AR100"] < 0.9 and f["APs"] < 1),  # small burrs the model does not find
])
def test_eval_gives_the_library_figures(run_tool, known, tmp_path, change, expect):
    images, anns = perfect_truth()
    data = write_coco("coco/ann.json", images, change(anns) if change else anns)
    p = run_tool("eval", "--coco", "coco/ann.json", "-m", known, "--json", "--per-class")
    assert p.returncode == 0, p.stderr
    got = json.loads(p.stdout)
    ids = [im["id"] for im in images]
    want = library_figures(data, ids, known_detections(images))
    assert {k: got[k] for k in FIGURES} == want and expect(want)
    assert set(got) == {*FIGURES, "images", "model", "per_class"} and got["images"] == 4 and got["model"] == known
    per_class = {c["name"]: c["AP"] for c in got["per_class"]}
    assert per_class == {n: library_figures(data, ids, known_detections(images), [i])["AP"] for n, i in CATEGORIES.items()}

    text = run_tool("eval", "--coco", "coco/ann.json", "-m", known)
    rows = {line.split()[0]: line.split()[1] for line in text.stdout.splitlines()[1:]}
    assert rows == {k: "n/a" if v is None else f"{v:.3f}" for k, v in want.items()}


def test_eval_maps_classes_by_a_category_map(run_tool, known):
    images, anns = perfect_truth()
    renamed = {"Kratzer": 7, "Delle": 8, "Grat": 9, "Riss": 4}  # nothing matches the model's names
    by_id = dict(zip(CATEGORIES.values(), renamed.values()))
    data = write_coco("ann.json", images, [{**a, "category_id": by_id[a["category_id"]]} for a in anns], renamed)
    Path("map.json").write_text('{"0": 7, "1": 8, "2": 9}')
    unmapped = run_tool("eval", "--coco", "ann.json", "-m", known, "--json")
    assert unmapped.returncode == 0 and json.loads(unmapped.stdout)["AP"] == 0
    assert "no model class for categories 7 'Kratzer', 8 'Delle', 9 'Grat', 4 'Riss'" in unmapped.stderr
    p = run_tool("eval", "--coco", "ann.json", "-m", known, "--json", "--category-map", "map.json")
    assert p.returncode == 0, p.stderr
    dets = [{**d, "category_id": by_id[d["category_id"]]} for d in known_detections(images)]
    assert {k: json.loads(p.stdout)[k] for k in FIGURES} == library_figures(data, [im["id"] for im in images], dets)
    assert "no model class for category 4 'Riss': its objects count as missed" in p.stderr
    Path("map.json").write_text('{"0": 3}')
    assert "category 3 is not in the annotation file" in run_tool("eval", "--coco", "ann.json", "-m", known,
                                                                   "--category-map", "map.json").stderr


def test_eval_reports_every_bad_entry_and_scores_the_rest(run_tool, known):
    images, anns = perfect_truth()
    data = write_coco("ann.json", images, anns)
    picture("img/wrong-size.png", 64, 48)
    Path("img/not-an-image.png").write_text("no picture")
    data["images"] += [{"id": 1, "file_name": "img/gone.png"}, {"id": 2, "file_name": "img/not-an-image.png"},
                       {"id": 3, "file_name": "../ann.json"}, {"id": 4, "file_name": "img/wrong-size.png", "width": 640,
                                                                "height": 480}]
    data["annotations"].append({"image_id": 11, "category_id": 1, "bbox": [0, 0, -3, 4]})  # spoils image 11
    Path("ann.json").write_text(json.dumps(data))
    p = run_tool("eval", "--coco", "ann.json", "-m", known, "--json")
    assert p.returncode == 1
    errors = [line for line in p.stderr.splitlines() if line.startswith("quarn-detect-model: ")]
    assert errors == [
        "quarn-detect-model: error: ann.json: images[6]: file_name '../ann.json' leaves the images folder (an absolute "
        "name, or '..')",
        "quarn-detect-model: error: ann.json: annotations[16]: bbox [0, 0, -3, 4] is not [x, y, width, height] with "
        "width and height at least 0",
        "quarn-detect-model: error: ann.json: image 11 (img/160x128.png) is not scored: its annotations are not all sound",
        "quarn-detect-model: img/gone.png: No such file or directory",
        "quarn-detect-model: img/not-an-image.png: not an image, or an unsupported image format",
        "quarn-detect-model: error: img/wrong-size.png: the image is 64x48, the annotation file says 640x480; not scored",
    ]
    kept = [im for im in images if im["id"] != 11]
    data["annotations"].pop()
    got = json.loads(p.stdout)
    assert got["images"] == 3
    assert {k: got[k] for k in FIGURES} == library_figures(data, [im["id"] for im in kept], known_detections(kept))


@pytest.mark.parametrize("content, words", [
    (None, "ann.json: no such file"),
    ("[1, 2", "ann.json is not a COCO annotation file"),
    ('{"images": []}', "ann.json is not a COCO annotation file: it needs an object with 'images' and 'categories' lists"),
    ("[" * 100_000, "ann.json is not a COCO annotation file"),
    ("fifo", "cannot read ann.json: a named pipe, not a regular file"),  # never waits on the pipe
])
def test_eval_refuses_a_file_that_is_no_annotation_file(run_tool, known, content, words):
    if content == "fifo":
        os.mkfifo("ann.json")
    elif content is not None:
        Path("ann.json").write_text(content)
    p = run_tool("eval", "--coco", "ann.json", "-m", known)
    assert p.returncode == 1 and p.stdout == "" and len(p.stderr.splitlines()) == 1
    assert p.stderr.startswith(f"quarn-detect-model: error: {words}")


# ---------------------------------------------------------------- compare

def perturbable(path, eps=0.0, half=False, labels=LABELS):
    """The known boxes moved by eps along a fixed random direction; scores that follow the image's colour."""
    rng = np.random.default_rng(7)
    boxes = np.clip(np.array(BOXES) + eps * rng.uniform(-1, 1, (4, 4)), 0, 1)
    weights = np.array([[0.2, 0.1, 0.0, 0.3], [0.1, 0.3, 0.2, 0.0], [0.0, 0.1, 0.4, 0.2]])
    return f"./{build_known(path, labels, boxes, weights, [0.5, 0.45, 0.4, 0.35], half=half)}"


def scenes(folder):
    """Images of several sizes and colours, and a short video, in one folder."""
    for k, (w, h) in enumerate(SIZES):
        picture(f"{folder}/{w}x{h}.png", w, h, (30 * k, 200 - 40 * k, 90 + 50 * k))
    writer = cv2.VideoWriter(f"{folder}/clip.avi", cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (96, 64))
    for red in (60, 160, 250):
        writer.write(np.full((64, 96, 3), (120, 80, red), np.uint8))
    writer.release()


def test_compare_a_model_with_itself(run_tool, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    scenes("scenes")
    perturbable("ref.onnx")
    p = run_tool("compare", "./ref.onnx", "./ref.onnx", "scenes", "--json")
    assert p.returncode == 0, p.stderr
    got = json.loads(p.stdout)
    assert got["passed"] and got["images"] == 7 and got["not_compared"] == 0
    assert [(r["file"], r.get("frame")) for r in got["per_image"]] == \
        [("scenes/160x128.png", None), ("scenes/256x256.png", None), ("scenes/320x240.png", None),
         ("scenes/640x480.png", None)] + [("scenes/clip.avi", k) for k in range(3)]
    for row in [got["total"], *got["per_image"]]:
        assert row["matched"] == row["reference_detections"] > 0 and row["extra"] == 0
        assert (row["matched_share"], row["mean_iou"], row["max_score_diff"]) == (1.0, 1.0, 0.0)
        assert row["ap50"] == pytest.approx(1.0)
    assert "PASS: candidate AP50 1.0000 >= 0.95 (--min-ap50)" in p.stderr


def test_compare_falls_as_the_weights_are_perturbed(run_tool, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    scenes("scenes")
    perturbable("ref.onnx")
    totals, statuses = [], []
    for k, eps in enumerate([0.0, 0.01, 0.04, 0.12, 0.3]):
        p = run_tool("compare", "./ref.onnx", perturbable(f"cand{k}.onnx", eps), "scenes", "--json", "--conf", "0.4")
        totals.append(json.loads(p.stdout)["total"])
        statuses.append(p.returncode)
    for key in ("matched_share", "ap50"):
        values = [t[key] for t in totals]
        assert values[0] == pytest.approx(1.0) and values == sorted(values, reverse=True) and values[-1] < 0.3, key
    # the mean IoU of what still matches: below 1 as soon as the boxes move
    assert totals[0]["mean_iou"] == 1.0 and all(t["mean_iou"] < 0.95 for t in totals[1:])
    assert [t["extra"] for t in totals] == sorted(t["extra"] for t in totals) and totals[0]["extra"] == 0
    assert statuses == [0, 0, 1, 1, 1]  # a shift of 1 % of the side keeps AP50 at 1


@pytest.mark.parametrize("candidate, passes", [
    (dict(half=True), True),  # float16 images: scores move a little, the boxes stay
    (dict(labels=[1, 0, 2, 1]), False),  # the first two classes swapped
    (dict(labels=[0, 0, 0, 0]), False),  # everything labelled 0
])
def test_compare_gates_a_copy(run_tool, tmp_path, monkeypatch, candidate, passes):
    monkeypatch.chdir(tmp_path)
    scenes("scenes")
    perturbable("ref.onnx")
    p = run_tool("compare", "./ref.onnx", perturbable("cand.onnx", **candidate), "scenes", "--json", "--conf", "0.4")
    total = json.loads(p.stdout)["total"]
    assert p.returncode == (0 if passes else 1) and json.loads(p.stdout)["passed"] is passes
    if passes:
        assert total["matched_share"] == 1.0 and total["mean_iou"] == 1.0 and 0 < total["max_score_diff"] < 0.01
    else:
        assert total["matched_share"] < 0.8 and total["extra"] > 0 and total["ap50"] < 0.8
        assert "FAIL: candidate AP50" in p.stderr


def test_compare_ap50_is_the_library_figure(run_tool, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    picture("a.png", 320, 240)
    build_known("ref.onnx", LABELS, BOXES, np.zeros((3, 4)), SCORES)
    moved = [(x1 + 0.1, y1, x2 + 0.1, y2) for x1, y1, x2, y2 in BOXES]  # class 0's first box: IoU 0.43, unmatched
    build_known("cand.onnx", LABELS, moved, np.zeros((3, 4)), [0.3, 0.8, 0.7, 0.6])
    p = run_tool("compare", "./ref.onnx", "./cand.onnx", "a.png", "--json", "--conf", "0.5", "--min-ap50", "0.5")
    got = json.loads(p.stdout)
    truth = {"images": [{"id": 1}], "categories": [{"id": c + 1} for c in range(3)],
             "annotations": [{"id": k, "image_id": 1, "category_id": c + 1, "bbox": b, "area": b[2] * b[3], "iscrowd": 0}
                             for k, (c, _, b) in enumerate(detections_of(320, 240), 1)]}
    dets = [{"image_id": 1, "category_id": c + 1, "bbox": [x1, y1, x2 - x1, y2 - y1], "score": float(np.float32(s))}
            for c, s, (x1, y1, x2, y2) in zip(LABELS, [0.3, 0.8, 0.7, 0.6], known_boxes(moved, 320, 240))]
    want = library_figures(truth, [1], dets)["AP50"]
    assert got["total"]["ap50"] == want == got["per_image"][0]["ap50"] and 0 < want < 1
    # IoUs 0.67, 0.11, 0.63, 0.43: the first is below --conf, the second and fourth too far off
    assert (got["total"]["matched"], got["total"]["extra"]) == (1, 2)


# ---------------------------------------------------------------- without --ray, no Ray

def test_nothing_imports_ray_without_the_option(tmp_path):
    picture(tmp_path / "a.png", 64, 48)
    build_known(tmp_path / "m.onnx", LABELS, BOXES, np.zeros((3, 4)), SCORES)
    code = """if True:
        import sys
        from quarn.inspection.detect import cli, model_tool
        cli.main(["--json", "-m", "./m.onnx", "a.png"])
        model_tool.main(["compare", "./m.onnx", "./m.onnx", "a.png"])
        print("ray loaded:", sorted(m for m in sys.modules if m.split(".")[0] == "ray"))
    """
    p = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert p.stdout.splitlines()[-1] == "ray loaded: []", p.stderr


@pytest.mark.parametrize("args, words", [
    (["--workers", "2"], "--ray-address and --workers go with --ray"),
    (["--ray", "--save", "out"], "--ray reads PATH arguments: it does not go with --camera, --save or --check"),
])
def test_ray_options_checked(tmp_path, args, words):
    p = subprocess.run([sys.executable, "-m", "quarn.inspection.detect", "a.png", *args], cwd=tmp_path,
                       capture_output=True, text=True, timeout=60)
    assert p.returncode == 2 and words in p.stderr


def test_ray_missing_is_one_line(tmp_path):
    picture(tmp_path / "a.png", 64, 48)
    build_known(tmp_path / "m.onnx", LABELS, BOXES, np.zeros((3, 4)), SCORES)
    code = """if True:
        import sys
        sys.modules["ray"] = None  # as if it were not installed
        from quarn.inspection.detect import cli
        sys.exit(cli.main(["--json", "-m", "./m.onnx", "a.png", "--ray"]))
    """
    p = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert p.returncode == 1 and p.stdout == ""
    assert p.stderr.splitlines()[-1] == 'quarn-detect: error: --ray needs Ray, which is not installed. Install it ' \
        'with: pip install "quarn[cluster]"'

"""End to end: `detect` against the plain Python pipeline a user would write for the same model.

Runs on an exported D-FINE-M graph (float32 and float16 input) and on real
photographs scaled to 1920x1080 and 4000x3000.  For each case it reports the
median and 90th percentile of `detect` (through `get_detector`) and of the plain
pipeline, the share of `detect` spent in `session.run`, and the time each
spends outside `session.run` (its overhead) with their ratio.  The two must
return the same records; the benchmark asserts it.

Needs no torch: the graphs are made on first use by tools/export_dfine.py run
with --export-python (an environment with the ``export`` extra), and the photos
(scikit-image's samples) are written as PNG by the same interpreter; both are
cached in --cache-dir, outside the repository.

    python benchmarks/detect_e2e.py [--repeat N] [--conf C] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import onnxruntime as ort
from PIL import Image

from quarn.inspection.detect import dfine_runner as dr

REPO = Path(__file__).resolve().parent.parent
EXPORT_TOOL = REPO / "tools" / "export_dfine.py"
PHOTOS = ("astronaut", "chelsea", "coffee")
SIZES = {"1920x1080": (1920, 1080), "4000x3000": (4000, 3000)}
GRAPHS = {"float32": ("dfine_m.onnx", []), "float16": ("dfine_m_half.onnx", ["--half"])}

_LOAD_PHOTOS = """
import sys
from pathlib import Path
import skimage.data
from PIL import Image
out = Path(sys.argv[1])
for name in sys.argv[2:]:
    Image.fromarray(getattr(skimage.data, name)()).save(out / (name + ".png"))
"""


def ensure_graph(cache: Path, name: str, flags: list[str], export_python: str) -> Path:
    path = cache / name
    if path.exists():
        return path
    print(f"exporting {path} with {export_python} ...", flush=True)
    partial = path.with_suffix(".partial.onnx")
    cmd = [export_python, str(EXPORT_TOOL), "--size", "m", *flags, "--output", str(partial)]
    subprocess.run(cmd, check=True)
    partial.replace(path)  # only a verified export takes the cached name
    return path


def ensure_photos(cache: Path, export_python: str) -> dict[str, np.ndarray]:
    missing = [n for n in PHOTOS if not (cache / f"{n}.png").exists()]
    if missing:
        subprocess.run([export_python, "-c", _LOAD_PHOTOS, str(cache), *missing], check=True)
    photos = {}
    for name in PHOTOS:
        image = cv2.imread(str(cache / f"{name}.png"), cv2.IMREAD_COLOR)  # BGR, as a camera frame arrives
        if image is None:
            raise SystemExit(f"cannot read {cache / name}.png")
        photos[name] = image
    return photos


class TimedSession:
    """Forwards to an InferenceSession and records how long each `run` takes."""

    def __init__(self, inner):
        self._inner = inner
        self.last = 0.0

    def run(self, *args, **kwargs):
        t0 = time.perf_counter()
        try:
            return self._inner.run(*args, **kwargs)
        finally:
            self.last = time.perf_counter() - t0

    def __getattr__(self, name):
        return getattr(self._inner, name)


class PlainPipeline:
    """What a user writes around the same graph: OpenCV, Pillow, numpy and a Python loop."""

    def __init__(self, path: Path, like: ort.InferenceSession, names: tuple[str, ...]):
        # Same options and providers as the module's session, so `run` costs the same.
        self.session = ort.InferenceSession(
            str(path), sess_options=like.get_session_options(), providers=like.get_providers()
        )
        self.dtype = np.float16 if self.session.get_inputs()[0].type == "tensor(float16)" else np.float32
        self.names = names
        self.run_time = 0.0

    def __call__(self, image: np.ndarray, conf: float) -> list[tuple]:
        height, width = image.shape[:2]
        rgb = cv2.cvtColor(image, cv2.COLOR_BGR2RGB)
        resized = Image.fromarray(rgb).resize((640, 640), Image.BILINEAR)
        x = np.asarray(resized, dtype=np.float32) / np.float32(255.0)
        x = np.ascontiguousarray(x.transpose(2, 0, 1)[None]).astype(self.dtype, copy=False)
        sizes = np.array([[width, height]], dtype=np.int64)
        t0 = time.perf_counter()
        labels, boxes, scores = self.session.run(None, {"images": x, "orig_target_sizes": sizes})
        self.run_time = time.perf_counter() - t0
        keep = scores[0] >= conf
        records = []
        for label, box, score in zip(labels[0][keep], boxes[0][keep], scores[0][keep]):
            cls_id = int(label)
            xyxy = (int(box[0]), int(box[1]), int(box[2]), int(box[3]))
            records.append((cls_id, self.names[cls_id], float(score), xyxy))
        return records


def as_tuples(detections) -> list[tuple]:
    return [(d.cls_id, d.cls_name, d.conf, tuple(d.xyxy)) for d in detections]


def assert_same(got: list[tuple], want: list[tuple], where: str) -> None:
    assert len(got) == len(want), f"{where}: detect gave {len(got)} records, the pipeline {len(want)}"
    fields = ("cls_id", "cls_name", "conf", "xyxy")
    for i, (g, w) in enumerate(zip(got, want)):
        for field, a, b in zip(fields, g, w):
            assert a == b and type(a) is type(b), f"{where}: record {i} {field}: detect {a!r}, pipeline {b!r}"


def pct(values: list[float], q: float) -> float:
    return float(np.percentile(values, q))


def bench_case(detector, pipeline: PlainPipeline, images: dict[str, np.ndarray], conf: float, repeat: int, where: str):
    proxy = TimedSession(detector.session)
    original = detector.session
    detector.session = proxy
    try:
        counts = {}
        for name, image in images.items():  # warm up, and check both give the same records
            got = as_tuples(detector.detect(image, conf=conf))
            want = pipeline(image, conf)
            assert_same(got, want, f"{where} {name}")
            counts[name] = len(got)
        det, det_run, pipe, pipe_run = [], [], [], []
        order = (0, 1)
        for _ in range(repeat):
            for image in images.values():
                # Alternate which path goes first so neither always runs on a warmer cache.
                order = order[::-1]
                for which in order:
                    if which == 0:
                        t0 = time.perf_counter()
                        detector.detect(image, conf=conf)
                        det.append(time.perf_counter() - t0)
                        det_run.append(proxy.last)
                    else:
                        t0 = time.perf_counter()
                        pipeline(image, conf)
                        pipe.append(time.perf_counter() - t0)
                        pipe_run.append(pipeline.run_time)
    finally:
        detector.session = original
    ms = 1e3
    det_over = [a - b for a, b in zip(det, det_run)]
    pipe_over = [a - b for a, b in zip(pipe, pipe_run)]
    return {
        "records": counts,
        "detect_median_ms": statistics.median(det) * ms,
        "detect_p90_ms": pct(det, 90) * ms,
        "detect_run_share": sum(det_run) / sum(det),
        "pipeline_median_ms": statistics.median(pipe) * ms,
        "pipeline_p90_ms": pct(pipe, 90) * ms,
        "pipeline_run_share": sum(pipe_run) / sum(pipe),
        "run_median_ms": statistics.median(det_run + pipe_run) * ms,
        "detect_overhead_median_ms": statistics.median(det_over) * ms,
        "pipeline_overhead_median_ms": statistics.median(pipe_over) * ms,
        "overhead_ratio": statistics.median(det_over) / statistics.median(pipe_over),
        "timed_calls_each": len(det),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=10, help="timed rounds; each runs every photo once (default 10)")
    parser.add_argument("--conf", type=float, default=0.3, help="score threshold for both paths (default 0.3)")
    parser.add_argument("--cache-dir", type=Path, default=Path.home() / ".cache" / "quarn-bench")
    parser.add_argument("--export-python", default=sys.executable,
                        help="interpreter with torch and transformers (the export extra), used only when a cached "
                             "file is missing (default: this interpreter)")
    parser.add_argument("--json", type=Path, help="also write the results here")
    args = parser.parse_args()

    cache = args.cache_dir.expanduser()
    cache.mkdir(parents=True, exist_ok=True)
    paths = {kind: ensure_graph(cache, name, flags, args.export_python) for kind, (name, flags) in GRAPHS.items()}
    photos = ensure_photos(cache, args.export_python)
    scaled = {
        label: {name: cv2.resize(img, size, interpolation=cv2.INTER_LINEAR) for name, img in photos.items()}
        for label, size in SIZES.items()
    }

    rows = []
    meta = {}
    for kind, path in paths.items():
        detector = dr.get_detector(str(path))  # a path is used as it is
        options = detector.session.get_session_options()
        meta[kind] = {
            "model": str(path),
            "input": detector.session.get_inputs()[0].type,
            "provider": detector.provider,
            "intra_op_num_threads": options.intra_op_num_threads,
        }
        pipeline = PlainPipeline(path, detector.session, dr.COCO80)
        for label, images in scaled.items():
            result = bench_case(detector, pipeline, images, args.conf, args.repeat, f"{kind} {label}")
            rows.append({"graph": kind, "image": label, **result})

    print(
        f"D-FINE-M (seeded random weights), {len(PHOTOS)} photos per size, conf {args.conf}, "
        f"{args.repeat} rounds; onnxruntime {ort.__version__} {meta['float32']['provider']}, "
        f"intra_op_num_threads {meta['float32']['intra_op_num_threads']} (0 = ORT default), {os.cpu_count()} CPUs"
    )
    print("records are equal between detect and the pipeline in every case (asserted)")
    head = (
        f"{'graph':<8} {'image':<10} {'recs':>9} {'detect ms':>9} {'p90':>7} {'run%':>5} "
        f"{'pipe ms':>8} {'p90':>7} {'run ms':>7} {'ovh det':>8} {'ovh pipe':>8} {'ratio':>6}"
    )
    print(head)
    for r in rows:
        recs = "/".join(str(r["records"][n]) for n in PHOTOS)
        print(
            f"{r['graph']:<8} {r['image']:<10} {recs:>9} {r['detect_median_ms']:>9.1f} {r['detect_p90_ms']:>7.1f} "
            f"{100 * r['detect_run_share']:>4.0f}% {r['pipeline_median_ms']:>8.1f} {r['pipeline_p90_ms']:>7.1f} "
            f"{r['run_median_ms']:>7.1f} {r['detect_overhead_median_ms']:>8.2f} "
            f"{r['pipeline_overhead_median_ms']:>8.2f} {r['overhead_ratio']:>6.2f}"
        )
    print(
        "recs: records per photo (" + "/".join(PHOTOS) + "); ms are medians; run%: share of detect in "
        "session.run; ovh: median time outside session.run; ratio: ovh det / ovh pipe"
    )
    if args.json:
        args.json.write_text(
            json.dumps(
                {
                    "conf": args.conf,
                    "repeat": args.repeat,
                    "photos": list(PHOTOS),
                    "cpus": os.cpu_count(),
                    "machine": platform.processor() or platform.machine(),
                    "python": sys.version.split()[0],
                    "onnxruntime": ort.__version__,
                    "graphs": meta,
                    "rows": rows,
                },
                indent=2,
            )
        )


if __name__ == "__main__":
    main()

"""What --ray costs on one machine: `quarn-detect --json` over a folder, plain and with a local Ray of N workers.

Each run is the command as a user starts it (a new process: interpreter,
model load, and for --ray the start of a local Ray and of its workers), timed
from start to exit; the outputs must be identical, and the benchmark asserts
it.  It prints each run's wall time, images per second and its ratio to the
plain run measured in the same invocation, and the fixed start-up cost that
--ray adds.

Without --model the detector is a tiny stand-in graph (one ReduceMean), so
the figures are the overhead alone; give a real export (e.g. D-FINE-N from
tools/export_dfine.py --size n) for the throughput of local workers.

    python benchmarks/ray_overhead.py [--model PATH] [--images N] [--size WxH] [--workers 1,2] [--repeat R]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from helpers import build_known  # noqa: E402


def stand_in(path: Path) -> Path:
    return build_known(path, [0, 1, 2], [(0.25, 0.25, 0.75, 0.75), (0.1, 0.1, 0.3, 0.4), (0.5, 0.1, 0.9, 0.3)],
                       [[0.2, 0.0, 0.1], [0.0, 0.3, 0.0], [0.1, 0.0, 0.4]], [0.5, 0.4, 0.3])


def images(folder: Path, n: int, w: int, h: int) -> None:
    rng = np.random.default_rng(0)
    for k in range(n):
        small = rng.integers(0, 256, (6, 8, 3), dtype=np.uint8)
        cv2.imwrite(str(folder / f"{k:04d}.png"), cv2.resize(small, (w, h), interpolation=cv2.INTER_NEAREST))


def timed(command: list[str]) -> tuple[float, str]:
    t0 = time.perf_counter()
    p = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if p.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({p.returncode}):\n{p.stderr}")
    return wall, p.stdout


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model", type=Path, help="an ONNX model in the detector's form (default: a tiny stand-in)")
    ap.add_argument("--images", type=int, default=40)
    ap.add_argument("--size", default="1280x960")
    ap.add_argument("--workers", default="1,2", help="comma-separated worker counts to time")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each kind; the median is reported")
    args = ap.parse_args()
    w, h = map(int, args.size.split("x"))
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        model = args.model.resolve() if args.model else stand_in(root / "stand-in.onnx")
        (root / "in").mkdir()
        images(root / "in", args.images, w, h)
        base = [sys.executable, "-m", "quarn.inspection.detect", "--json", "-m", str(model), str(root / "in")]
        runs = {"plain": base, **{f"--ray --workers {k}": [*base, "--ray", "--workers", k] for k in args.workers.split(",")}}
        walls: dict[str, float] = {}
        want = None
        for name, command in runs.items():
            times = []
            for _ in range(args.repeat):
                wall, out = timed(command)
                want = out if want is None else want
                assert out == want, f"{name}: the records differ from the plain run's"
                times.append(wall)
            walls[name] = statistics.median(times)
    print(f"model: {args.model or 'tiny stand-in graph'}; {args.images} images {w}x{h}; median of {args.repeat} runs; "
          "outputs identical")
    print(f"{'run':<20} {'wall s':>8} {'images/s':>9} {'ratio to plain':>15}")
    plain = walls["plain"]
    for name, wall in walls.items():
        print(f"{name:<20} {wall:8.2f} {args.images / wall:9.1f} {wall / plain:15.2f}")
    print("--ray adds " + ", ".join(f"{walls[n] - plain:.2f} s ({n})" for n in walls if n != "plain"))


if __name__ == "__main__":
    main()

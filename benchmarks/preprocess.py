"""Preprocessing speed: the fused native path against the library path.

Both paths run in one process on the same images; the library path is forced
by rebinding the module's `cv2` to a plain forwarding object, which is what
turns the fused path off.  Prints the median time of each, their ratio, a bare
copy of the input as the floor, and the throughput of two threads sharing one
detector against one thread.

    python benchmarks/preprocess.py [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np

from quarn.inspection.detect import dfine_runner as dr

# The tests' own switch to the library path, so the benchmark times what the tests compare.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from helpers import assert_same_outcome, library_path  # noqa: E402


def _median_ms(fn, repeat: int) -> float:
    fn()  # warm caches and lazily built tables
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def _images(rng: np.random.Generator) -> dict[str, np.ndarray]:
    def photo_like(h: int, w: int, channels: int | None) -> np.ndarray:
        # Smooth gradients plus noise: closer to a camera image than pure noise.
        y, x = np.mgrid[0:h, 0:w]
        base = (x * 255 // max(w - 1, 1) + y * 128 // max(h - 1, 1)) % 256
        if channels is None:
            return (base + rng.integers(0, 16, (h, w))).astype(np.uint8)
        shifts = np.array([0, 85, 170])[:channels]
        img = (base[..., None] + shifts + rng.integers(0, 16, (h, w, channels))) % 256
        return img.astype(np.uint8)

    return {
        "1920x1080 colour": photo_like(1080, 1920, 3),
        "4000x3000 colour": photo_like(3000, 4000, 3),
        "1280x1024 grey": photo_like(1024, 1280, None),
        "640x480 colour": photo_like(480, 640, 3),
    }


def _throughput(detector, image: np.ndarray, threads: int, seconds: float) -> float:
    counts = [0] * threads
    stop = time.perf_counter() + seconds
    start = threading.Barrier(threads)

    def work(i: int) -> None:
        start.wait()
        while time.perf_counter() < stop:
            detector._preprocess(image)
            counts[i] += 1

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    t0 = time.perf_counter()
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=30, help="timed runs per case (median is reported)")
    parser.add_argument("--seconds", type=float, default=3.0, help="duration of each throughput run")
    args = parser.parse_args()

    detector = dr.DfineDetector.__new__(dr.DfineDetector)  # _preprocess reads no detector state
    rng = np.random.default_rng(0)
    print(f"{'image':<18} {'library ms':>10} {'fused ms':>9} {'ratio':>6} {'copy ms':>8}")
    for label, image in _images(rng).items():
        fused_out = detector._preprocess(image)
        with library_path(dr):
            library_out = detector._preprocess(image)
            library = _median_ms(lambda: detector._preprocess(image), args.repeat)
        assert_same_outcome(fused_out, library_out)
        fused = _median_ms(lambda: detector._preprocess(image), args.repeat)
        scratch = np.empty_like(image)
        floor = _median_ms(lambda: np.copyto(scratch, image), args.repeat)
        print(f"{label:<18} {library:>10.2f} {fused:>9.2f} {library / fused:>5.1f}x {floor:>8.2f}")

    image = _images(rng)["1920x1080 colour"]
    one = _throughput(detector, image, 1, args.seconds)
    two = _throughput(detector, image, 2, args.seconds)
    print(f"threads, 1920x1080 fused: 1 thread {one:.0f} img/s, 2 threads {two:.0f} img/s, {two / one:.2f}x")


if __name__ == "__main__":
    main()

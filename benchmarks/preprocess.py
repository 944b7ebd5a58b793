"""Preprocessing speed: the fused native path against the library path.

Both paths run in one process on the same images; the library path is forced
by rebinding the module's `cv2` to a plain forwarding object, which is what
turns the fused path off.  The variants are interleaved: each round times the
library path, the fused path and the floor once each, in an order that turns
round by round, so a load that comes and goes on the machine falls on all of
them alike.  Printed per image: the median time of each, and the median of
the rounds' ratios (library over fused) with their spread (25th to 75th
percentile).  The floor is the memory traffic no preprocessing can avoid: one
copy of the input and the writing of a new 1x3x640x640 float32 tensor.

Then the throughput of two threads sharing one detector against one thread,
the two alternated in short runs, with the median ratio and its spread.

    python benchmarks/preprocess.py [--repeat N] [--seconds S]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

from quarn.inspection.detect import dfine_runner as dr

# The tests' own switch to the library path, so the benchmark times what the tests compare.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from helpers import assert_same_outcome, library_path  # noqa: E402


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


def _seconds(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def interleaved(variants: dict[str, Callable[[], object]], repeat: int) -> dict[str, list[float]]:
    """Each variant's time in each round; round r starts with variant r (mod their number)."""
    names = list(variants)
    for fn in variants.values():
        fn()  # warm caches and lazily built tables
    times: dict[str, list[float]] = {name: [] for name in names}
    for r in range(repeat):
        for name in names[r % len(names):] + names[:r % len(names)]:
            times[name].append(_seconds(variants[name]))
    return times


def quartiles(values: list[float]) -> tuple[float, float, float]:
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


def _throughput(detector: dr.DfineDetector, image: np.ndarray, threads: int, seconds: float) -> float:
    counts = [0] * threads
    start = threading.Barrier(threads)
    stop = 0.0

    def work(i: int) -> None:
        start.wait()
        while time.perf_counter() < stop:
            detector._preprocess(image)
            counts[i] += 1

    pool = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    t0 = time.perf_counter()
    stop = t0 + seconds
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=40, help="rounds per image (medians and spreads are over them)")
    parser.add_argument("--seconds", type=float, default=0.5, help="duration of each throughput run")
    parser.add_argument("--rounds", type=int, default=10, help="rounds of the one- and two-thread throughput runs")
    args = parser.parse_args()

    print(f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    detector = dr.DfineDetector.__new__(dr.DfineDetector)  # _preprocess reads no detector state
    rng = np.random.default_rng(0)
    print(f"{'image':<18} {'library ms':>10} {'fused ms':>9} {'ratio':>6} {'spread':>11} {'floor ms':>9}")
    for label, image in _images(rng).items():
        fused_out = detector._preprocess(image)
        with library_path(dr):
            library_out = detector._preprocess(image)
        assert_same_outcome(fused_out, library_out)
        scratch = np.empty_like(image)

        def library() -> None:
            with library_path(dr):
                detector._preprocess(image)

        def floor() -> None:
            np.copyto(scratch, image)
            np.empty((1, 3, 640, 640), np.float32).fill(0.5)

        times = interleaved({"library": library, "fused": lambda: detector._preprocess(image), "floor": floor},
                            args.repeat)
        q1, ratio, q3 = quartiles([a / b for a, b in zip(times["library"], times["fused"])])
        ms = {name: statistics.median(t) * 1e3 for name, t in times.items()}
        print(f"{label:<18} {ms['library']:>10.2f} {ms['fused']:>9.2f} {ratio:>5.1f}x {q1:>5.1f}-{q3:<5.1f} "
              f"{ms['floor']:>9.2f}")

    image = _images(rng)["1920x1080 colour"]
    rates: dict[int, list[float]] = {1: [], 2: []}
    for r in range(args.rounds):
        for threads in ((1, 2) if r % 2 == 0 else (2, 1)):
            rates[threads].append(_throughput(detector, image, threads, args.seconds))
    q1, ratio, q3 = quartiles([b / a for a, b in zip(rates[1], rates[2])])
    print(f"threads, 1920x1080 fused: 1 thread {statistics.median(rates[1]):.0f} img/s, "
          f"2 threads {statistics.median(rates[2]):.0f} img/s, {ratio:.2f}x (spread {q1:.2f}-{q3:.2f})")
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()

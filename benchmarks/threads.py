"""Inference threads: `detect` with ONNX Runtime's defaults, with 1 thread, and without busy-waiting.

One detector per setting, each built with the settings a station would use
(QUARN_ORT_THREADS=1, QUARN_ORT_SPIN=0, or nothing), all in one process.  The
calls are interleaved: every round runs each setting once on an idle machine
and once while the benchmark keeps every core busy with a competing process of
its own (a plain Python busy loop per core, started for the block and stopped
after it).  Where the system tells (Linux), it also measures how busy other
processes kept the machine meanwhile, so a reading taken on a machine that
was not really idle says so.  For each call it records the wall time of the call (latency) and
the CPU time the whole process used from the start of the call until the next
call begins, a fixed pause included, so that worker threads still spinning
after a call are charged to that call's setting.  Prints medians and the
ratios against the default measured in the same run.

    python benchmarks/threads.py MODEL.onnx [--rounds N] [--load N] [--json PATH]

MODEL is a model in the detector's contract form, for example one exported by
tools/export_dfine.py (random weights take as long as trained ones).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import cv2
import onnxruntime as ort

from machine import busy_cpu_s
from quarn.inspection.detect import dfine_runner as dr

REPO = Path(__file__).resolve().parent.parent
SETTINGS = {  # name: the environment the detector is built under
    "default": {},
    "1 thread": {"QUARN_ORT_THREADS": "1"},
    "no spin": {"QUARN_ORT_SPIN": "0"},
}
THREAD_VARIABLES = ("QUARN_ORT_THREADS", "QUARN_ORT_INTER_THREADS", "QUARN_ORT_SPIN")
PAUSE_S = 0.1  # after each call: long enough for spinning workers to give up and block


@contextlib.contextmanager
def environment(values: dict[str, str]) -> Iterator[None]:
    """Exactly `values` among the thread settings, for the block."""
    saved = {name: os.environ.pop(name, None) for name in THREAD_VARIABLES}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            os.environ.pop(name, None)
            if value is not None:
                os.environ[name] = value


@contextlib.contextmanager
def competing_load(processes: int) -> Iterator[None]:
    """`processes` busy loops in processes of their own for the block; none when 0."""
    load = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(processes)]
    try:
        time.sleep(0.3)  # let them start and take the cores
        yield
    finally:
        for p in load:
            p.kill()
        for p in load:
            p.wait()


def machine_busy_s() -> float | None:
    """CPU seconds the whole machine has spent busy since boot, niced or not; None where unknown."""
    busy = busy_cpu_s()
    return None if busy is None else sum(busy)


def own_cpu_s() -> float:
    """CPU seconds of this process and of its finished children (the competing load)."""
    try:
        import resource
    except ImportError:  # not on Windows: the children are then counted as background
        return time.process_time()
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


@contextlib.contextmanager
def background(share: list[float]) -> Iterator[None]:
    """Appends to `share` the part of the machine's CPU that other processes used during the block."""
    busy0, own0, t0 = machine_busy_s(), own_cpu_s(), time.perf_counter()
    yield
    busy1, own1, wall = machine_busy_s(), own_cpu_s(), time.perf_counter() - t0
    if busy0 is not None and busy1 is not None:
        share.append(max(0.0, (busy1 - busy0) - (own1 - own0)) / (wall * (os.cpu_count() or 1)))


def timed_call(detector, image) -> tuple[float, float]:
    """(latency, CPU time of the process from the call's start until after the pause), in seconds."""
    cpu0, t0 = time.process_time(), time.perf_counter()
    detector.detect(image)
    latency = time.perf_counter() - t0
    time.sleep(PAUSE_S)
    return latency, time.process_time() - cpu0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", type=Path, help="a model in the detector's contract form")
    parser.add_argument("--rounds", type=int, default=12, help="timed rounds; each runs every setting once "
                        "idle and once under load (default 12)")
    parser.add_argument("--load", type=int, default=os.cpu_count() or 1,
                        help="competing busy processes in the loaded blocks (default: one per core)")
    parser.add_argument("--size", default="1280x720", help="image size WxH (default 1280x720)")
    parser.add_argument("--json", type=Path, help="also write the results here")
    args = parser.parse_args()

    width, height = (int(v) for v in args.size.split("x"))
    image = cv2.resize(cv2.imread(str(REPO / "docs" / "astronaut.jpg")), (width, height))
    detectors = {}
    for name, env in SETTINGS.items():
        with environment(env):
            detectors[name] = dr.DfineDetector(str(args.model), "cpu")
    for detector in detectors.values():  # first runs allocate and tune
        detector.detect(image)
        detector.detect(image)

    conditions = {"idle": 0, f"{args.load} busy process{'es' if args.load != 1 else ''}": args.load}
    samples = {(c, s): [] for c in conditions for s in SETTINGS}
    others: dict[str, list[float]] = {c: [] for c in conditions}
    names = list(SETTINGS)
    for r in range(args.rounds):
        order = list(conditions) if r % 2 == 0 else list(conditions)[::-1]
        for condition in order:
            with background(others[condition]), competing_load(conditions[condition]):
                for name in names[r % len(names):] + names[:r % len(names)]:  # each setting goes first in turn
                    samples[condition, name].append(timed_call(detectors[name], image))
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr, flush=True)

    rows = []
    for condition in conditions:
        base_wall = statistics.median(w for w, _ in samples[condition, "default"])
        base_cpu = statistics.median(c for _, c in samples[condition, "default"])
        for name in SETTINGS:
            wall = statistics.median(w for w, _ in samples[condition, name])
            cpu = statistics.median(c for _, c in samples[condition, name])
            rows.append({"condition": condition, "setting": name, "latency_ms": wall * 1e3, "cpu_ms": cpu * 1e3,
                         "latency_ratio": wall / base_wall, "cpu_ratio": cpu / base_cpu})

    print(f"{args.model.name}, {width}x{height} image, {args.rounds} rounds, onnxruntime {ort.__version__}, "
          f"{os.cpu_count()} CPUs ({platform.machine()}); medians; ratios against the default in the same block")
    print(f"{'condition':<20} {'setting':<9} {'latency ms':>10} {'ratio':>6} {'CPU ms/call':>11} {'ratio':>6}")
    for r in rows:
        print(f"{r['condition']:<20} {r['setting']:<9} {r['latency_ms']:>10.1f} {r['latency_ratio']:>5.2f}x "
              f"{r['cpu_ms']:>11.1f} {r['cpu_ratio']:>5.2f}x")
    for condition, share in others.items():
        if share:
            print(f"{condition}: other processes kept {100 * statistics.median(share):.0f}% of the machine's CPU "
                  f"busy (median over the blocks, {100 * min(share):.0f}% to {100 * max(share):.0f}%)")
    print(f"CPU ms/call: the process's CPU time from the start of a call to the end of the {PAUSE_S * 1e3:.0f} ms "
          "pause after it (threads still spinning after the call count)")
    if args.json:
        args.json.write_text(json.dumps({"model": args.model.name, "size": [width, height], "rounds": args.rounds,
                                         "load": args.load, "cpus": os.cpu_count(), "onnxruntime": ort.__version__,
                                         "rows": rows, "background_share": others}, indent=2) + "\n")


if __name__ == "__main__":
    main()

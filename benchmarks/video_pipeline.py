"""Video throughput of quarn-detect: the overlapped stages against one frame at a time.

Runs the command line in this process on a video it writes itself (moving
shapes and noise, 1280x720, mp4v or MJPG) with ``--json`` and ``--save``, once
with the stages overlapped and once one frame at a time, alternating which
goes first, ``--repeat`` times; then prints, per model, each variant's median
frames per second and the median of the paired ratios with their spread.
Frames per second count the frames read over the run of the input: opening
it, every frame, and finishing the saved copy (which is read back before it
replaces anything).

It also prints the cores each variant kept busy and those that other
processes took meanwhile (from /proc/stat; niced ones apart, since they take
little from a process at normal priority), and, from the one-frame-at-a-time
runs, where a frame's time goes: decoding and ``detect`` (timed by the run
itself), finishing the copy (closing and reading it back), and the rest
(drawing, encoding, printing): so the stage or the core count that bounds the
overlapped loop shows.

Models are ONNX files in the detector's contract form, given with --model;
``--model synthetic`` is a graph of four operators built here (it needs the
``model`` extra) whose inference is almost free: a stand-in for a model that
runs on a GPU, where the loop's own stages decide the frame rate.

    python benchmarks/video_pipeline.py --model synthetic --model MODEL.onnx [--codec MJPG] [--repeat N] [--seconds S]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from machine import busy_cpu_s, cpu_name
from quarn.inspection.detect import cli
from quarn.inspection.detect.cli import run as run_module, writing


def write_video(path: Path, frames: int, w: int, h: int, codec: str, fps: float = 25.0) -> None:
    """Shapes moving over a gradient, with sensor-like noise: encodes and decodes like a camera's picture."""
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:h, 0:w]
    base = np.stack([(x * 255 // w), (y * 255 // h), ((x + y) * 127 // (w + h))], axis=2).astype(np.uint8)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*codec), fps, (w, h))
    for k in range(frames):
        frame = base.copy()
        for j in range(6):
            cx, cy = int((k * (3 + j) + j * 200) % w), int((h / 2 + (h / 3) * np.sin(k / 20 + j)) % h)
            cv2.rectangle(frame, (cx - 60, cy - 40), (cx + 60, cy + 40), (40 * j, 255 - 40 * j, 128), -1)
        frame = cv2.add(frame, rng.integers(0, 12, frame.shape, np.uint8))
        writer.write(frame)
    writer.release()


def synthetic_model(path: Path) -> Path:
    """A graph in the detector's contract whose inference costs next to nothing: three boxes from the image sizes."""
    from onnx import TensorProto as T, helper as h, save

    io = h.make_tensor_value_info
    graph = h.make_graph(
        [h.make_node("ReduceMax", ["images"], ["scores"], axes=[2, 3], keepdims=0),
         h.make_node("Cast", ["orig_target_sizes"], ["wh"], to=T.FLOAT),
         h.make_node("Concat", ["wh", "wh"], ["whwh"], axis=1),
         h.make_node("Mul", ["whwh", "frac"], ["boxes"])],
        "synthetic", [io("images", T.FLOAT, [1, 3, 640, 640]), io("orig_target_sizes", T.INT64, [1, 2])],
        [io("labels", T.INT64, [1, 3]), io("boxes", T.FLOAT, [1, 3, 4]), io("scores", T.FLOAT, [1, 3])],
        [h.make_tensor("labels", T.INT64, [1, 3], [0, 2, 16]),
         h.make_tensor("frac", T.FLOAT, [1, 3, 4], [0.25, 0.25, 0.75, 0.75, 0.1, 0.1, 0.3, 0.4, 0.6, 0.1, 0.9, 0.2])])
    save(h.make_model(graph, opset_imports=[h.make_opsetid("", 17)], ir_version=8), path)
    return path


@contextlib.contextmanager
def captured(log: Path) -> Iterator[None]:
    """stdout and stderr into ``log`` for the length of the block (the records are written, as they would be)."""
    out, err = sys.stdout, sys.stderr
    with open(log, "w", encoding="utf-8") as f:
        sys.stdout = sys.stderr = f
        try:
            yield
        finally:
            sys.stdout, sys.stderr = out, err


class Timed:
    """Wraps ``Run.run`` and ``VideoOutput.close`` to keep each run's wall time, statistics and finishing time."""

    def __init__(self) -> None:
        self.last: tuple[float, run_module.Stats] | None = None
        self.closing = 0.0
        run, close = run_module.Run.run, writing.VideoOutput.close

        def timed_run(inner: run_module.Run) -> None:
            self.closing, t0 = 0.0, time.perf_counter()
            run(inner)
            self.last = time.perf_counter() - t0, inner.stats

        def timed_close(inner: writing.VideoOutput, keep: bool) -> str | None:
            t0 = time.perf_counter()
            try:
                return close(inner, keep)
            finally:
                self.closing += time.perf_counter() - t0

        run_module.Run.run = timed_run  # type: ignore[method-assign]
        writing.VideoOutput.close = timed_close  # type: ignore[method-assign]


@dataclass
class Sample:
    fps: float
    cores: float  # this process's CPU time over the run's wall time
    others: float  # CPU time of the other processes at normal priority over the run's wall time
    niced: float  # that of processes at a lower priority (nice), which take little from this one
    stages: tuple[float, float, float, float]  # per frame: decode, detect, finishing the copy, the rest


def once(timed: Timed, model: str, video: Path, frames: int, pipelined: bool, work: Path, save: bool) -> Sample:
    """One run of quarn-detect on the video."""
    run_module.PIPELINED = pipelined
    out = work / "out"
    argv = ["--model", model, "--json", "--frames", str(frames), *(["--save", str(out)] if save else []), str(video)]
    (normal, niced), own = busy_cpu_s() or (0.0, 0.0), os.times()
    with captured(work / "log.txt"):
        status = cli.main(argv, prog="quarn-detect")
    (normal_after, niced_after), after = busy_cpu_s() or (0.0, 0.0), os.times()
    if status != 0:
        raise SystemExit(f"quarn-detect {' '.join(argv)} failed ({status}):\n" + (work / "log.txt").read_text())
    for f in out.glob("*") if save else ():
        f.unlink()
    assert timed.last is not None
    seconds, stats = timed.last
    used = after.user - own.user + after.system - own.system
    read, detect = sum(stats.read_s), sum(stats.detect_s)
    rest = seconds - read - detect - timed.closing
    return Sample(frames / seconds, used / seconds, max(0.0, normal_after - normal - used) / seconds,
                  (niced_after - niced) / seconds, (read / frames, detect / frames, timed.closing / frames, rest / frames))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", action="append", required=True,
                        help="an ONNX model in the detector's contract form, or 'synthetic'; may be repeated")
    parser.add_argument("--repeat", type=int, default=5, help="rounds; each runs both variants once")
    parser.add_argument("--seconds", type=float, default=8.0, help="about how long one run takes (sets its frames)")
    parser.add_argument("--size", default="1280x720", help="the video's frame size, WxH")
    parser.add_argument("--codec", default="mp4v", choices=["mp4v", "MJPG"], help="the video's codec")
    parser.add_argument("--no-save", action="store_true", help="without --save: printing the records only")
    args = parser.parse_args()
    w, h = map(int, args.size.lower().split("x"))
    save = not args.no_save
    suffix = ".mp4" if args.codec == "mp4v" else ".avi"

    print(f"cpu: {cpu_name()}, {len(os.sched_getaffinity(0))} usable of {os.cpu_count()}; "
          f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"video: {w}x{h} {args.codec}; quarn-detect --json{' --save' if save else ''}; "
          f"{args.repeat} rounds, the variants alternated", flush=True)
    timed = Timed()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        for name in args.model:
            model = str(synthetic_model(work / "synthetic.onnx")) if name == "synthetic" else name
            probe = work / f"probe{suffix}"
            write_video(probe, 10, w, h, args.codec)
            once(timed, model, probe, 10, False, work, save)  # loads the model; warms caches
            frames = max(10, min(2000, round(args.seconds * once(timed, model, probe, 10, False, work, save).fps)))
            video = work / f"clip{suffix}"
            write_video(video, frames, w, h, args.codec)
            runs: dict[bool, list[Sample]] = {False: [], True: []}
            ratios = []
            for r in range(args.repeat):
                for pipelined in ((False, True) if r % 2 == 0 else (True, False)):
                    runs[pipelined].append(once(timed, model, video, frames, pipelined, work, save))
                ratios.append(runs[True][-1].fps / runs[False][-1].fps)
            rows.append((Path(name).name, frames, runs, ratios))

    def med(samples: list[Sample], what: str) -> float:
        return statistics.median(getattr(s, what) for s in samples)

    print("ratio: overlapped over serial, median of the rounds, and its spread (min-max); busy: cores this process "
          "kept busy, serial and overlapped; others: cores other processes took meanwhile, at normal priority and niced")
    print(f"{'model':<16} {'frames':>6} {'serial fps':>10} {'overlapped fps':>14} {'ratio':>6} {'spread':>10} "
          f"{'busy':>11} {'others':>11}   serial, per frame: decode, detect, finish copy, rest")
    for label, frames, runs, ratios in rows:
        serial, overlapped = runs[False], runs[True]
        decode, detect, finish, rest = (statistics.median(s.stages[k] for s in serial) * 1e3 for k in range(4))
        print(f"{label:<16} {frames:>6} {med(serial, 'fps'):>10.1f} {med(overlapped, 'fps'):>14.1f} "
              f"{statistics.median(ratios):>5.2f}x {min(ratios):>4.2f}-{max(ratios):<5.2f} "
              f"{med(serial, 'cores'):>5.2f} {med(overlapped, 'cores'):>5.2f} "
              f"{statistics.median(s.others for s in serial + overlapped):>5.2f} "
              f"{statistics.median(s.niced for s in serial + overlapped):>5.2f}   "
              f"{decode:.1f}, {detect:.1f}, {finish:.1f}, {rest:.1f} ms")
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()

"""``main``: the options read, the standard streams made safe, the run or --check, and how the process ends."""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import time
from collections.abc import Sequence
from pathlib import Path

from quarn.inspection.detect import option_values
from quarn.inspection.detect.cli import args as options
from quarn.inspection.detect.cli.check import check
from quarn.inspection.detect.cli.console import Console, shown
from quarn.inspection.detect.cli.destinations import Destinations
from quarn.inspection.detect.cli.errors import ModelError, OutputError
from quarn.inspection.detect.cli.inputs import collect
from quarn.inspection.detect.cli.model import Model, open_model
from quarn.inspection.detect.cli.run import Run
from quarn.inspection.detect.signals import SIGNALS, Stopped
from quarn.inspection.detect.cli.sinks import Outputs
from quarn.inspection.detect.cli.sources import Camera, Source, Stride
from quarn.inspection.detect.contract import COMPONENT

PROG = "quarn-detect"


def main(argv: Sequence[str] | None = None, *, prog: str | None = None) -> int:
    """Run the command line; returns the exit status."""
    prog = prog or PROG
    SIGNALS.install()
    try:
        return _main(argv, prog)
    finally:
        SIGNALS.restore()


def _main(argv: Sequence[str] | None, prog: str) -> int:
    _fill_closed_standard_fds()
    try:
        from quarn.inspection.detect import dfine_runner as dr
    except ImportError as exc:
        sys.stderr.write(f"{prog}: error: cannot load the detector ({exc}); reinstall: pip install quarn\n")
        return 1
    args, names = options.parse(argv, prog, dr.DEFAULT_WEIGHTS)
    _set_thread_settings(args)
    # FFmpeg would print a line per damaged frame; the run reports them itself, in one line per video
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    if not logging.getLogger().handlers:  # e.g. "CUDA requested but not available" warnings
        logging.basicConfig(format=f"{prog}: %(levelname)s: %(message)s", stream=sys.stderr)
    device = option_values.device(args)
    if sys.stdout is None or getattr(sys.stdout, "closed", False):  # started with stdout closed (`>&-`)
        sys.stderr.write(f"{prog}: error: standard output is closed; redirect it (e.g. >/dev/null) instead\n")
        return 1
    return _serve(Console(sys.stdout, sys.stderr, prog), args, device, names)


def _set_thread_settings(args: argparse.Namespace) -> None:
    """--threads and --no-spin as the settings the detector reads when it is loaded: for this process, over the
    environment's."""
    if args.threads is not None:
        os.environ["QUARN_ORT_THREADS"] = str(args.threads)
    if args.no_spin:
        os.environ["QUARN_ORT_SPIN"] = "0"


def _serve(con: Console, args: argparse.Namespace, device: str | None, names: dict[int, str] | None) -> int:
    run: Run | None = None
    try:
        if args.check:
            return check(args, device, names, con)
        stride = Stride(args.every, args.frames)
        sources: list[Source] = [Camera(args.camera, stride)] if args.camera is not None else \
            collect(args.inputs, args.recursive, stride)
        model = _model(con, args, device, names)
        if model is None:
            return 1
        if args.ray:
            from quarn.inspection.detect.cli import on_ray

            return on_ray.serve(con, args, device, names, model, sources, name_width(model))
        run = _run(con, args, model, sources)
        run.run()
        con.note(run.stats.summary(args.verbose))
        return 1 if run.stats.failed else 0
    except KeyboardInterrupt as exc:
        return _interrupted(con, run, args.verbose, exc.signum if isinstance(exc, Stopped) else signal.SIGINT)
    except BrokenPipeError:
        # the reader went away (e.g. `| head`): stop quietly
        _quiet_stdout()
        return 1
    except OutputError as exc:
        _quiet_stdout()
        con.finish()
        con.error(f"error: cannot write to standard output ({exc}); stopped")
        if run is not None:
            con.note(run.stats.summary(args.verbose))
        return 1


def _model(con: Console, args: argparse.Namespace, device: str | None, names: dict[int, str] | None) -> Model | None:
    t0 = time.perf_counter()
    try:
        model = open_model(args.model, device, names, args.names, con.error)
    except ModelError as exc:
        con.error("error: " + str(exc))
        return None
    if args.verbose:
        con.note(f"model {args.model}: provider {model.detector.provider} (device {model.detector.device}), "
                 f"class names from {model.names_from}, ready in {(time.perf_counter() - t0) * 1e3:.0f} ms")
    return model


def _run(con: Console, args: argparse.Namespace, model: Model, sources: list[Source]) -> Run:
    dests = Destinations(args.save, _given(args, sources), con.error) if args.save is not None else None
    return Run(model, args.conf, con, sources, Outputs(con, args.json, name_width(model), dests, args.verbose))


def name_width(model: Model) -> int:
    """The width of the class column in tables."""
    return min(24, max(5, *(len(shown(n)) for n in model.names.values()))) if model.names else 5


def _given(args: argparse.Namespace, sources: Sequence[Source]) -> list[Path]:
    """Every file this run reads: inputs, the --names file and the model file."""
    from quarn import weights

    given = [s.file for s in sources if s.file is not None]
    if args.names is not None:
        given.append(args.names)
    try:  # it loaded, so it resolves; a stand-in weights module may not
        given.append(Path(weights.model_path(COMPONENT, args.model)))
    except Exception:
        pass
    return given


def _interrupted(con: Console, run: Run | None, verbose: bool, signum: int) -> int:
    con.finish()
    what = "terminated" if signum == signal.SIGTERM else "interrupted"
    if run is None:
        con.note(f"{con.prog}: {what}")
    else:
        n = run.stats.inputs
        con.note(f"{con.prog}: {what} after {run.done} of {n} input{'s' if n != 1 else ''} (in {run.where})")
        con.note(run.stats.summary(verbose))
    return 128 + signum


def _quiet_stdout() -> None:
    # nothing more can go to stdout: send it, and the flush at exit, to the null device
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def _fill_closed_standard_fds() -> None:
    """Put the null device on standard descriptors the process was started without (`2>&-`).

    Otherwise the next file opened takes that number, and library messages
    meant for stderr would be written into an output.
    """
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # kept open for the life of the process

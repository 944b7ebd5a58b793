"""The command line's options: the parser, its value checks, and the checks of options taken together."""

from __future__ import annotations

import argparse
import stat
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from quarn.inspection.detect import cluster
from quarn.inspection.detect.option_values import add_device, count, fraction
from quarn.inspection.detect.cli.console import shown
from quarn.inspection.detect.cli.errors import reason
from quarn.inspection.detect.cli.media import IMAGE_SUFFIXES, VIDEO_SUFFIXES
from quarn.inspection.detect.cli.names import read_names



class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # one line, like common tools, instead of argparse's usage block
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quarn")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser(prog: str, default_model: str) -> argparse.ArgumentParser:
    p = _Parser(
        prog=prog,
        description="Detect objects in images, videos or camera frames with a D-FINE ONNX model and print, "
        "save or export what was found.",
        epilog=f"Bare model names are looked up under detect/ in each folder of $QUARN_WEIGHTS_DIR, "
        f"then in ~/.local/share/quarn/weights; run '{prog} --check' to see where. "
        "Exit status: 0 all inputs processed, 1 some input or the model failed, 2 usage error, "
        "130 interrupted (Ctrl-C), 143 terminated (SIGTERM).",
    )
    _add_inputs(p)
    p.add_argument("-m", "--model", default=default_model, metavar="NAME_OR_PATH",
                   help="model file name or path (default: %(default)s)")
    add_device(p)
    p.add_argument("-c", "--conf", type=fraction, default=0.25, metavar="FLOAT",
                   help="minimum confidence, 0..1 (default: %(default)s)")
    p.add_argument("--threads", type=count(1, 1024), metavar="N",
                   help="ONNX Runtime threads per inference for this run, as QUARN_ORT_THREADS=N does "
                   "(default: that variable, else one per physical core)")
    p.add_argument("--no-spin", action="store_true",
                   help="let idle ONNX Runtime threads sleep instead of busy-waiting, as QUARN_ORT_SPIN=0 does")
    _add_outputs(p)
    cluster.add_options(p)
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return p


def _add_inputs(p: argparse.ArgumentParser) -> None:
    p.add_argument("inputs", nargs="*", metavar="PATH",
                   help="image or video files and/or folders; folders are searched for "
                   + " ".join(sorted(IMAGE_SUFFIXES | VIDEO_SUFFIXES)))
    p.add_argument("-r", "--recursive", action="store_true", help="also search sub-folders of folder arguments")
    p.add_argument("--camera", type=count(0, 2**31 - 1), metavar="K",
                   help="read live frames from camera K (0 is the first) until Ctrl-C or --frames")
    p.add_argument("--every", type=count(1), default=1, metavar="N",
                   help="in videos and from the camera, detect on frames 0, N, 2N, ... only (default: every frame); "
                   "with --save, the frames in between show the latest boxes dashed, labelled @<the frame they "
                   "were found in>")
    p.add_argument("--frames", type=count(1), metavar="N",
                   help="read at most N frames from each video or from the camera")


def _add_outputs(p: argparse.ArgumentParser) -> None:
    p.add_argument("--names", type=Path, metavar="FILE",
                   help="class names to show and write, one per line (line k names class k); "
                   "default: the model's 'names' metadata, else the 80 COCO classes")
    p.add_argument("-j", "--json", action="store_true",
                   help="print one JSON object per image or frame, one per line, instead of tables; "
                   "with --check, one JSON object")
    p.add_argument("-s", "--save", type=Path, metavar="DIR",
                   help="write a copy of each image, and each video, with its detections drawn into DIR")
    p.add_argument("-v", "--verbose", action="store_true", help="print model and per-image timings to stderr")
    p.add_argument("--check", action="store_true",
                   help="report whether detection can run (model, contract, ONNX Runtime, providers) and exit")


def parse(argv: Sequence[str] | None, prog: str, default_model: str) -> tuple[argparse.Namespace, dict[int, str] | None]:
    """The options, checked together, and the names of the --names file; a usage error exits with status 2."""
    parser = build_parser(prog, default_model)
    args = parser.parse_args(argv)
    _check_inputs(parser, args)
    if args.save is not None:
        _check_save(parser, args.save)
    args.ray_options = cluster.options(parser, args)
    if args.ray and (args.camera is not None or args.save is not None or args.check):
        parser.error("--ray reads PATH arguments: it does not go with --camera, --save or --check")
    names = _read_names(parser, args.names) if args.names is not None else None
    return args, names


def _check_inputs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Exactly one of: PATH arguments, --camera, or --check alone."""
    if args.check and (args.inputs or args.camera is not None):
        parser.error("--check takes no image arguments")
    if args.camera is not None and args.inputs:
        parser.error("--camera takes no PATH arguments")
    if not args.check and not args.inputs and args.camera is None:
        parser.error("no images given")


def _read_names(parser: argparse.ArgumentParser, path: Path) -> dict[int, str]:
    """The --names file's names; a file that cannot be read or used is a usage error."""
    try:
        return read_names(path)
    except (OSError, ValueError) as exc:
        parser.error(shown(f"argument --names: {path}: {reason(exc)}"))


def _check_save(parser: argparse.ArgumentParser, save: Path) -> None:
    try:
        if not stat.S_ISDIR(save.stat().st_mode):
            parser.error(f"argument --save: {save} exists and is not a folder")
    except FileNotFoundError:
        pass  # made when the first output is written
    except OSError as exc:
        parser.error(f"argument --save: {reason(exc)}")

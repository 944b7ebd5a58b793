"""Command line for the object detector: ``quarn-detect`` / ``python -m quarn.inspection.detect``.

It only reads images, calls ``get_detector(...).detect(...)`` and reports or
draws what comes back; every detection decision stays in ``dfine_runner``.
"""

from __future__ import annotations

import argparse
import colorsys
import contextlib
import importlib
import json
import logging
import os
import shutil
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn, TextIO

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from quarn.inspection.detect.dfine_runner import Detection, DfineDetector

__all__ = ["IMAGE_SUFFIXES", "class_color", "draw_detections", "main"]

PROG = "quarn-detect"
IMAGE_SUFFIXES = frozenset({".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp"})
_DEVICES = ("auto", "cpu", "cuda")


class _InputError(Exception):
    """An input the user can fix (unreadable, not an image, would overwrite itself)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # one line, like common tools, instead of argparse's usage block
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _conf(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number between 0 and 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:  # also rejects nan
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def build_parser(prog: str, default_model: str) -> argparse.ArgumentParser:
    p = _Parser(
        prog=prog,
        description="Detect objects in images with a D-FINE ONNX model and print, save or "
        "export what was found.",
        epilog=f"Bare model names are looked up under detect/ in each folder of $QUARN_WEIGHTS_DIR, "
        f"then in ~/.local/share/quarn/weights; run '{prog} --check' to see where. "
        "Exit status: 0 all images processed, 1 some images or the model failed, 2 usage error.",
    )
    p.add_argument("inputs", nargs="*", metavar="PATH",
                   help="image files and/or folders; folders are searched for " + " ".join(sorted(IMAGE_SUFFIXES)))
    p.add_argument("-r", "--recursive", action="store_true", help="also search sub-folders of folder arguments")
    p.add_argument("-m", "--model", default=default_model, metavar="NAME_OR_PATH",
                   help="model file name or path (default: %(default)s)")
    p.add_argument("-d", "--device", choices=_DEVICES, default="auto",
                   help="where to run: auto uses CUDA when available (default: %(default)s)")
    p.add_argument("-c", "--conf", type=_conf, default=0.25, metavar="FLOAT",
                   help="minimum confidence, 0..1 (default: %(default)s)")
    p.add_argument("-j", "--json", action="store_true",
                   help="print one JSON object per image, one per line, instead of tables")
    p.add_argument("-s", "--save", type=Path, metavar="DIR",
                   help="write a copy of each image with its detections drawn into DIR")
    p.add_argument("-v", "--verbose", action="store_true", help="print model and per-image timings to stderr")
    p.add_argument("--check", action="store_true",
                   help="report whether detection can run (model, ONNX Runtime, providers) and exit")
    return p


# ---------------------------------------------------------------- inputs

@dataclass(frozen=True)
class _Item:
    path: Path  # as the user will recognise it
    rel: Path  # name under --save (relative path inside a folder argument)


def _collect(args: Sequence[str], recursive: bool, problems: list[str]) -> list[_Item]:
    items: list[_Item] = []
    seen: set[Path] = set()
    for arg in args:
        root = Path(arg)
        if root.is_dir():
            pattern = root.rglob("*") if recursive else root.iterdir()
            found = sorted(p for p in pattern if p.suffix.lower() in IMAGE_SUFFIXES and p.is_file())
            if not found:
                deeper = not recursive and any(p.is_dir() for p in root.iterdir())
                problems.append(f"{arg}: no images found" + (" (use -r to search its sub-folders)" if deeper else ""))
            pairs = [(p, p.relative_to(root)) for p in found]
        elif root.exists():
            kind = _not_regular(root)
            if kind:  # reading a FIFO or a device could wait forever
                problems.append(f"{arg}: skipped: not a regular file ({kind})")
                continue
            pairs = [(root, Path(root.name))]
        else:
            problems.append(f"{arg}: no such file or folder")
            continue
        for path, rel in pairs:
            key = path.resolve()
            if key not in seen:  # the same file named twice is processed once
                seen.add(key)
                items.append(_Item(path, rel))
    return items


def _not_regular(path: Path) -> str:
    """What ``path`` is when it is not a regular file (after links), else ''."""
    try:
        mode = path.stat().st_mode
    except OSError:
        return ""  # reading it reports the real error
    for test, kind in ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"), (stat.S_ISDIR, "a folder")):
        if test(mode):
            return kind
    return "" if stat.S_ISREG(mode) else "not a file"


def _read_bytes(path: Path) -> bytes:
    # O_NONBLOCK: a FIFO put in place after the listing must not block the open
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _InputError("skipped: not a regular file")
        return f.read()


def _read_image(path: Path) -> npt.NDArray[np.uint8]:
    import cv2
    import numpy as np

    data = np.frombuffer(_read_bytes(path), dtype=np.uint8)
    if data.size == 0:
        raise _InputError("empty file")
    image = cv2.imdecode(data, cv2.IMREAD_COLOR)
    if image is None:
        raise _InputError("not an image, or an unsupported image format")
    return np.asarray(image, dtype=np.uint8)  # IMREAD_COLOR always decodes to 8-bit BGR


# ---------------------------------------------------------------- drawing

def class_color(cls_id: int) -> tuple[int, int, int]:
    """BGR colour of a class: fixed per id, neighbouring ids far apart in hue."""
    r, g, b = colorsys.hsv_to_rgb((cls_id * 0.618033988749895) % 1.0, 0.85, 0.95)
    return round(b * 255), round(g * 255), round(r * 255)


def draw_detections(image: npt.NDArray[np.uint8], detections: Sequence[Detection]) -> npt.NDArray[np.uint8]:
    """Draw boxes and ``name conf`` labels onto ``image`` (BGR, modified in place)."""
    import cv2

    h, w = image.shape[:2]
    lw = max(2, round((h + w) / 2 * 0.003))
    font, scale, thick = cv2.FONT_HERSHEY_SIMPLEX, max(0.4, lw / 3), max(1, lw - 1)
    for d in detections:  # boxes first so no box crosses another's label
        x1, y1, x2, y2 = d.xyxy
        cv2.rectangle(image, (x1, y1), (x2, y2), class_color(d.cls_id), lw, cv2.LINE_8)
    for d in detections:
        x1, y1, _, _ = d.xyxy
        color = class_color(d.cls_id)
        label = f"{d.cls_name} {d.conf:.2f}"
        (tw, th), base = cv2.getTextSize(label, font, scale, thick)
        bw, bh = tw + 2 * lw, th + base + lw
        left = min(max(x1 - lw // 2, 0), max(w - bw, 0))
        top = y1 - lw // 2 - bh  # above the box, or just inside it when that leaves the image
        if top < 0:
            top = max(y1, 0)
        top = min(top, max(h - bh, 0))
        cv2.rectangle(image, (left, top), (left + bw - 1, top + bh - 1), color, cv2.FILLED)
        b, g, r = color
        ink = (0, 0, 0) if 0.299 * r + 0.587 * g + 0.114 * b > 150 else (255, 255, 255)
        cv2.putText(image, label, (left + lw, top + lw // 2 + th), font, scale, ink, thick, cv2.LINE_AA)
    return image


def _file_id(path: Path) -> tuple[int, int] | None:
    try:
        st = path.stat()
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def _write_atomic(dest: Path, write: Callable[[Path], None]) -> None:
    """Have ``write`` fill a temporary file beside ``dest``, then rename it into place.

    An interrupted run leaves either the old file or the complete new one,
    never half an image.  The temporary name keeps the suffix, so encoders
    that choose the format by name still see it.
    """
    dest.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp_name = tempfile.mkstemp(dir=dest.parent, prefix=f".{dest.stem}.", suffix=f".part{dest.suffix}")
    os.close(fd)
    tmp = Path(tmp_name)
    try:
        write(tmp)
        os.replace(tmp, dest)
    except BaseException:
        with contextlib.suppress(OSError):
            tmp.unlink()
        raise


def _save(image: npt.NDArray[np.uint8], dest: Path) -> None:
    import cv2

    suffix = dest.suffix.lower()
    ok, buf = cv2.imencode(suffix if suffix in IMAGE_SUFFIXES else ".png", image)
    if not ok:
        raise _InputError(f"could not encode {dest.name}")
    _write_atomic(dest, buf.tofile)


class _Destinations:
    """Output paths under --save: file names kept, clashes numbered.

    An output never replaces a file given or found as input (by resolved
    path, or as the same file through a hard or symbolic link), nor one
    written earlier in this run.
    """

    def __init__(self, folder: Path, inputs: Sequence[Path]) -> None:
        self.folder = folder
        self.used: set[Path] = set()
        self.written: set[tuple[int, int]] = set()
        self.inputs = {p.resolve() for p in inputs}
        self.input_ids = {i for i in map(_file_id, inputs) if i is not None}

    def _taken(self, dest: Path) -> bool:
        return dest.resolve() in self.used or _file_id(dest) in self.written

    def __call__(self, item: _Item) -> Path:
        rel = item.rel if item.rel.suffix.lower() in IMAGE_SUFFIXES else item.rel.with_name(item.rel.name + ".png")
        dest, n = self.folder / rel, 1
        while self._taken(dest):
            n += 1
            dest = self.folder / rel.with_name(f"{rel.stem}-{n}{rel.suffix}")
        if dest.resolve() in self.inputs or _file_id(dest) in self.input_ids:
            raise _InputError(f"{dest} is an input of this run and is left alone; "
                              "choose a --save folder apart from the inputs")
        self.used.add(dest.resolve())
        return dest

    def wrote(self, dest: Path) -> None:
        file_id = _file_id(dest)
        if file_id is not None:
            self.written.add(file_id)


# ---------------------------------------------------------------- output

class _Console:
    """stdout/stderr writer that keeps a progress bar on a terminal's stderr out of the way."""

    def __init__(self, out: TextIO, err: TextIO, total: int, prog: str) -> None:
        self.out, self.err, self.total, self.prog = out, err, total, prog
        self.bar = total > 1 and err.isatty()
        self.drawn = False

    @contextlib.contextmanager
    def _clear(self) -> Iterator[None]:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
        yield
        if self.drawn:
            self.err.write(self._line)
            self.err.flush()

    def print(self, text: str) -> None:
        with self._clear():
            self.out.write(text + "\n")
            self.out.flush()

    def error(self, text: str) -> None:
        with self._clear():
            self.err.write(f"{self.prog}: {' '.join(text.split())}\n")  # always one line
            self.err.flush()

    def note(self, text: str) -> None:
        with self._clear():
            self.err.write(text + "\n")
            self.err.flush()

    def progress(self, done: int, name: str) -> None:
        if not self.bar:
            return
        width = shutil.get_terminal_size((80, 20)).columns
        filled = 24 * done // self.total
        line = f"[{'#' * filled}{'.' * (24 - filled)}] {done}/{self.total} {name}"
        self._line = "\r" + line[: width - 1] + "\x1b[K"
        self.err.write(self._line)
        self.err.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
            self.drawn = False


def _table(item: _Item, shape: tuple[int, ...], detections: Sequence[Detection]) -> str:
    h, w = shape[:2]
    n = len(detections)
    lines = [f"{item.path}  {w}x{h}  {n} detection{'s' if n != 1 else ''}"]
    if detections:
        cw = max(5, *(len(d.cls_name) for d in detections))
        lines.append(f"  {'class':<{cw}}  {'conf':>5}  {'x1':>6} {'y1':>6} {'x2':>6} {'y2':>6}")
        for d in detections:
            x1, y1, x2, y2 = d.xyxy
            lines.append(f"  {d.cls_name:<{cw}}  {d.conf:5.2f}  {x1:6d} {y1:6d} {x2:6d} {y2:6d}")
    return "\n".join(lines)


def _record(item: _Item, shape: tuple[int, ...], detections: Sequence[Detection]) -> str:
    dets = []
    for d in detections:
        rec: dict[str, Any] = {"cls_id": d.cls_id, "cls_name": d.cls_name, "conf": d.conf, "xyxy": list(d.xyxy)}
        if d.obb is not None:
            rec["obb"] = list(d.obb)
        dets.append(rec)
    return json.dumps({"file": str(item.path), "width": shape[1], "height": shape[0], "detections": dets})


# ---------------------------------------------------------------- commands

def _model_error(model: str, exc: BaseException) -> str:
    msg = str(exc)
    if Path(model).name == model and not model.startswith("~") and os.path.isfile(model):
        # bare names are searched in the model folders only, which surprises people
        msg += f" A file {model!r} is in the current folder: pass ./{model} to use it."
    return msg


def _load(model: str, device: str | None) -> tuple[DfineDetector | None, str]:
    """The shared detector, or None and a one-line reason."""
    from quarn.inspection.detect import dfine_runner as dr

    try:
        return dr.get_detector(model, device), ""
    except dr.DetectError as exc:
        return None, _model_error(model, exc)
    except Exception as exc:  # ONNX Runtime's own errors for a damaged or foreign model file
        return None, f"cannot load model {model!r}: {type(exc).__name__}: {exc}"


def _places(model: str) -> list[Path]:
    from quarn import weights

    if Path(model).name != model or model.startswith("~"):  # a path is used as it is
        return [Path(model).expanduser()]
    return [root / "detect" / model for root in weights.search_roots()]


def _check(model: str, device: str | None, con: _Console) -> int:
    import numpy as np

    from quarn import weights
    from quarn.inspection.detect import dfine_runner as dr

    def row(key: str, value: object) -> None:
        con.print(f"{key + ':':<22}{value}")

    row("model", model)
    if dr.is_available(model):
        row("model file", weights.model_path("detect", model).absolute())
    else:
        row("model file", "NOT FOUND")
        for place in _places(model):
            row("  looked in", place)
    try:
        ort: Any = importlib.import_module("onnxruntime")  # untyped package
    except ImportError as exc:
        row("onnxruntime", f"NOT INSTALLED ({exc}); reinstall: pip install quarn")
    else:
        row("onnxruntime", ort.__version__)
        row("available providers", ", ".join(ort.get_available_providers()))
        row("requested providers", ", ".join(dr._providers(device)))
    detector, problem = _load(model, device)
    row("provider in use", f"{detector.provider} (device {detector.device})" if detector else "-")
    if detector is not None:
        try:
            t0 = time.perf_counter()
            detector.detect(np.full((64, 64, 3), 114, np.uint8), conf=1.0)  # proves the model runs, not only loads
            row("test inference", f"ok ({(time.perf_counter() - t0) * 1e3:.0f} ms)")
        except dr.DetectError as exc:
            problem = str(exc)
            row("test inference", "FAILED")
    row("status", "ready: detection can run" if not problem else "NOT READY: " + " ".join(problem.split()))
    return 0 if not problem else 1


def _run(args: argparse.Namespace, device: str | None, con: _Console,
         items: list[_Item], failed: int) -> int:
    import cv2

    from quarn.inspection.detect import dfine_runner as dr

    t_start = time.perf_counter()
    detector, problem = _load(args.model, device)
    if detector is None:
        con.error("error: " + problem)
        return 1
    if args.verbose:
        con.note(f"model {args.model}: provider {detector.provider} (device {detector.device}), "
                 f"ready in {(time.perf_counter() - t_start) * 1e3:.0f} ms")

    dests = _Destinations(args.save, [item.path for item in items]) if args.save is not None else None
    done = total_dets = 0
    for i, item in enumerate(items):
        con.progress(i, item.path.name)
        try:
            t0 = time.perf_counter()
            image = _read_image(item.path)
            t1 = time.perf_counter()
            if args.verbose:  # extra pass, only to show where the time goes
                detector._preprocess(image)
            t2 = time.perf_counter()
            detections = detector.detect(image, conf=args.conf)
            t3 = time.perf_counter()
        except (_InputError, OSError, dr.DetectError) as exc:
            failed += 1
            con.error(f"{item.path}: {exc.strerror if isinstance(exc, OSError) and exc.strerror else exc}")
            continue
        done += 1
        total_dets += len(detections)
        con.print(_record(item, image.shape, detections) if args.json else _table(item, image.shape, detections))
        if args.verbose:
            con.note(f"{item.path}: read {(t1 - t0) * 1e3:.1f} ms, preprocess {(t2 - t1) * 1e3:.1f} ms, "
                     f"detect {(t3 - t2) * 1e3:.1f} ms (includes preprocess)")
        if dests is not None:
            try:
                dest = dests(item)
                _save(draw_detections(image, detections), dest)
                dests.wrote(dest)
            except (_InputError, OSError, cv2.error) as exc:
                failed += 1
                con.error(f"{item.path}: not saved: {exc}")
    con.progress(len(items), "")
    con.finish()
    summary = (f"{done} image{'s' if done != 1 else ''}, {total_dets} detection{'s' if total_dets != 1 else ''}"
               f", {failed} failed ({time.perf_counter() - t_start:.2f} s)")
    if args.json:
        if args.verbose:
            con.note(summary)
    else:
        con.print(("\n" if done else "") + summary)
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None, *, prog: str | None = None) -> int:
    """Run the command line; returns the exit status."""
    prog = prog or PROG
    try:
        from quarn.inspection.detect import dfine_runner as dr
    except ImportError as exc:
        sys.stderr.write(f"{prog}: error: cannot load the detector ({exc}); reinstall: pip install quarn\n")
        return 1
    parser = build_parser(prog, dr.DEFAULT_WEIGHTS)
    args = parser.parse_args(argv)
    if args.check and args.inputs:
        parser.error("--check takes no image arguments")
    if not args.check and not args.inputs:
        parser.error("no images given")
    if args.save is not None and args.save.exists() and not args.save.is_dir():
        parser.error(f"argument --save: {args.save} exists and is not a folder")
    if not logging.getLogger().handlers:  # e.g. "CUDA requested but not available" warnings
        logging.basicConfig(format=f"{prog}: %(levelname)s: %(message)s", stream=sys.stderr)
    device = None if args.device == "auto" else args.device
    try:
        if args.check:
            return _check(args.model, device, _Console(sys.stdout, sys.stderr, 0, prog))
        problems: list[str] = []
        items = _collect(args.inputs, args.recursive, problems)
        con = _Console(sys.stdout, sys.stderr, len(items), prog)
        for problem in problems:
            con.error(problem)
        if not items:
            return 1
        return _run(args, device, con, items, len(problems))
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # the reader went away (e.g. `| head`); silence the flush at exit
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1

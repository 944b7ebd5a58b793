"""The inputs of a run: each argument turned into frame sources, folders walked, the same file taken once."""

from __future__ import annotations

import stat
from collections.abc import Sequence
from pathlib import Path

from quarn.inspection.detect._files import file_kind
from quarn.inspection.detect.cli.errors import InputError, reason
from quarn.inspection.detect.cli.media import IMAGE_SUFFIXES, VIDEO_SUFFIXES
from quarn.inspection.detect.cli.sources import ImageFile, Source, Stride, Unusable, VideoFile


def collect(args: Sequence[str], recursive: bool, stride: Stride) -> list[Source]:
    """Inputs in the order given, folders expanded and sorted; problems kept in place as unusable inputs."""
    sources: list[Source] = []
    seen: set[Path] = set()
    for arg in args:
        root = Path(arg)
        try:
            files = _files(root, recursive)
        except InputError as exc:
            sources.append(Unusable(root, str(exc)))
            continue
        for path, rel in files:
            key = path.resolve()
            if key not in seen:  # the same file named twice is processed once
                seen.add(key)
                sources.append(_source(path, rel, stride))
    return sources


def _source(path: Path, rel: Path, stride: Stride) -> Source:
    return VideoFile(path, rel, stride) if path.suffix.lower() in VIDEO_SUFFIXES else ImageFile(path, rel)


def _files(root: Path, recursive: bool) -> list[tuple[Path, Path]]:
    """The files an argument names, each with its name under --save; InputError says why there are none."""
    try:
        mode = root.stat().st_mode
    except (OSError, ValueError) as exc:  # ValueError: a NUL byte
        missing = isinstance(exc, FileNotFoundError | NotADirectoryError)
        raise InputError("no such file or folder" if missing else reason(exc)) from None
    if stat.S_ISDIR(mode):
        return [(p, p.relative_to(root)) for p in walk(root, recursive)]
    if not stat.S_ISREG(mode):  # reading a FIFO or a device could wait forever
        raise InputError(f"skipped: not a regular file ({file_kind(mode)})")
    return [(root, Path(root.name))]


def walk(folder: Path, recursive: bool) -> list[Path]:
    """The images and videos in ``folder`` (and its sub-folders when ``recursive``), sorted."""
    wanted = IMAGE_SUFFIXES | VIDEO_SUFFIXES
    try:
        pattern = folder.rglob("*") if recursive else folder.iterdir()
        found = sorted(p for p in pattern if p.suffix.lower() in wanted and p.is_file())
        deeper = not found and not recursive and any(p.is_dir() for p in folder.iterdir())
    except OSError as exc:
        raise InputError(f"cannot list the folder: {reason(exc)}") from None
    if not found:
        raise InputError(f"no images or videos found{' (use -r to search its sub-folders)' if deeper else ''}")
    return found

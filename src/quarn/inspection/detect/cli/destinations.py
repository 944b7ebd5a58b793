"""Where each saved copy goes: its input's name under --save, clashes numbered, never over an input or a copy."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path

from quarn.inspection.detect._files import file_id, sweep
from quarn.inspection.detect.cli.errors import InputError
from quarn.inspection.detect.cli.media import IMAGE_SUFFIXES
from quarn.inspection.detect.cli.writing import VIDEO_CODECS


class Destinations:
    """Output paths under --save: file names kept, clashes numbered.

    An output never replaces a file given or found as input (by resolved
    path, or as the same file through a hard or symbolic link), nor one
    written earlier in this run.  Each folder written into is first cleared
    of the part files that killed runs left there.
    """

    def __init__(self, folder: Path, inputs: Sequence[Path], note: Callable[[str], None]) -> None:
        self.folder, self.note = folder, note
        self.used: set[Path] = set()
        self.written: set[tuple[int, int]] = set()
        self.inputs = {p.resolve() for p in inputs}
        self.input_ids = {i for i in map(file_id, inputs) if i is not None}
        self.swept: set[Path] = set()

    def _taken(self, dest: Path) -> bool:
        return dest.resolve() in self.used or file_id(dest) in self.written

    def __call__(self, rel: Path, still: bool) -> Path:
        """Where the copy of the input named ``rel`` goes: an image when ``still``, else a video."""
        keep, fallback = (IMAGE_SUFFIXES, ".png") if still else (VIDEO_CODECS, ".mp4")
        rel = rel if rel.suffix.lower() in keep else rel.with_name(rel.name + fallback)
        dest, n = self.folder / rel, 1
        while self._taken(dest):
            n += 1
            dest = self.folder / rel.with_name(f"{rel.stem}-{n}{rel.suffix}")
        if dest.resolve() in self.inputs or file_id(dest) in self.input_ids:
            raise InputError(f"{dest} is an input of this run and is left alone; "
                             "choose a --save folder apart from the inputs")
        self.used.add(dest.resolve())
        self._sweep(dest.parent)
        return dest

    def _sweep(self, folder: Path) -> None:
        key = folder.resolve()
        if key in self.swept:
            return
        self.swept.add(key)
        removed = sweep(folder)
        if removed:
            n = len(removed)
            self.note(f"removed {n} unfinished output{'s' if n != 1 else ''} that a killed run left in {folder}: "
                      + ", ".join(p.name for p in removed))

    def wrote(self, dest: Path) -> None:
        written = file_id(dest)
        if written is not None:
            self.written.add(written)

"""Where the tool's output goes, and how it gets there: never over an input or a link, always whole."""

from __future__ import annotations

import os
import stat
from pathlib import Path

from quarn import weights
from quarn.inspection.detect import _files
from quarn.inspection.detect.contract import COMPONENT, DEFAULT_MODEL
from quarn.inspection.detect.model_tool.errors import Refused


def default_target(name: str = DEFAULT_MODEL) -> Path:
    """Where a model called ``name`` is installed, by default the detector's default model: detect/NAME under the
    first weights root, where every lookup of that bare name finds it."""
    roots = weights.search_roots()
    if not roots:
        raise Refused(f"no model folder to install into ({'; '.join(weights.ignored_roots())}); "
                      f"set {weights.ENV_VAR} to an absolute folder, or give -o")
    return roots[0] / COMPONENT / name


def check_target(target: Path, inputs: dict[tuple[int, int], str], force: bool) -> None:
    """Refuse an output that is one of ``inputs`` (by device and inode), not a regular file, or, without ``force``, exists."""
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        return
    except OSError as exc:  # a name too long, a parent that is a file, a folder that cannot be searched
        raise Refused(f"cannot write {target}: {exc.strerror}") from None
    for ident in ((st.st_dev, st.st_ino), _files.file_id(target)):
        if ident in inputs:
            raise Refused(f"{target} is {inputs[ident]}; give another output")
    if stat.S_ISLNK(st.st_mode):
        # os.replace would replace the link itself, not the file it points to
        raise Refused(f"{target} is a symbolic link; give the file it points to, or another output")
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{target} is {_files.file_kind(st.st_mode)}, not a regular file; give another output")
    if not force:
        raise Refused(f"{target} exists; pass --force to replace it")


def write_atomically(data: bytes, target: Path, force: bool) -> None:
    """Write ``data`` to ``target`` through a locked part file in the same folder.

    Readers see the old file or the whole new one, never a part; a new file
    gets the umask's mode, a replaced one keeps its mode.  Without ``force``
    an existing file is left alone, also when it appears while writing.
    """
    with _files.PartFile(target) as part:
        part.write(data)
        if not part.publish(replace=force):
            raise Refused(f"{target} exists; pass --force to replace it")


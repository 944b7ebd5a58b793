"""Outputs that replace nothing until they are complete.

The command line and the model tool write every output (annotated images and
videos, installed models) through a ``PartFile``: a hidden file beside the
destination that becomes the destination only by an atomic rename, after its
data has reached the disk.  A reader sees the old file or the whole new one.

While a part file exists, the process writing it holds a lock on it.  A run
killed outright (SIGKILL, power cut) leaves its part file behind with the lock
gone, so the next run in that folder can tell leftovers from the part files of
runs still writing (``sweep``).

Inputs are read only from regular files (``read_regular``): a named pipe or a
device put where a file was expected never blocks a run or feeds it forever.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import stat
from pathlib import Path
from types import TracebackType

try:
    import fcntl
except ImportError:  # Windows: no advisory locks, so leftovers are never taken for dead
    fcntl = None  # type: ignore[assignment]

__all__ = ["MARK", "OPEN_FLAGS", "NotRegular", "PartFile", "file_id", "file_kind", "read_regular", "sweep", "umask"]

# Opening for reading: a FIFO never blocks the open, and Windows reads bytes as they are.
OPEN_FLAGS = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISLNK, "a symbolic link"),
)

# Every part file's name holds this mark: ".<stem>.quarn-part-<pid>-<token><suffix>".
MARK = ".quarn-part-"
_PART_NAME = re.compile(r"^\..*" + re.escape(MARK) + r"\d+-[0-9a-f]{8}")


def file_kind(mode: int) -> str:
    """What a file that is not a regular one is, in words."""
    return next((name for test, name in _KINDS if test(mode)), "a special file")


class NotRegular(OSError):
    """A path to read names something other than a regular file; ``kind`` says what."""

    def __init__(self, kind: str) -> None:
        super().__init__(f"{kind}, not a regular file")
        self.kind = kind


class TooLarge(OSError):
    """A file to read is larger than its reader takes; ``size`` in bytes."""

    def __init__(self, size: int) -> None:
        super().__init__(f"{size} bytes")
        self.size = size


def read_regular(path: str | os.PathLike[str], limit: int | None = None) -> bytes:
    """The contents of the regular file ``path``, of at most ``limit`` bytes when given (read no further should
    the file grow meanwhile); raises ``NotRegular``, ``TooLarge`` or the open's OSError."""
    fd = os.open(path, OPEN_FLAGS)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise NotRegular(file_kind(st.st_mode))
        if limit is not None and st.st_size > limit:
            raise TooLarge(st.st_size)
        chunks, left = [], limit
        while left is None or left > 0:
            chunk = os.read(fd, 1 << 20 if left is None else min(left, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            if left is not None:
                left -= len(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


def umask() -> int:
    """The process's umask (read without leaving it changed)."""
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def file_id(path: Path) -> tuple[int, int] | None:
    """(device, inode) of the file ``path`` names after links, or None when there is none."""
    try:
        st = path.stat()
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


class PartFile:
    """A hidden, locked file beside ``dest`` that ``publish`` renames into place.

    New outputs get the usual mode (0666 less the umask); an output that
    replaces a regular file keeps that file's mode, so a shared model stays
    readable to the accounts that read it before.  The suffix stays last, so
    encoders that choose the format by name still see it.
    """

    def __init__(self, dest: Path) -> None:
        self.dest = dest
        dest.parent.mkdir(parents=True, exist_ok=True)
        keep_mode = None
        with contextlib.suppress(OSError):
            st = dest.stat()
            if stat.S_ISREG(st.st_mode):
                keep_mode = stat.S_IMODE(st.st_mode) & 0o777  # no set-id bits on a new owner's file
        flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_NOFOLLOW", 0)
        self.fd, self.done = -1, False
        while True:
            self.path = dest.parent / f".{dest.stem}{MARK}{os.getpid()}-{secrets.token_hex(4)}{dest.suffix}"
            try:
                self.fd = os.open(self.path, flags, 0o666)
            except FileExistsError:
                continue
            try:
                if fcntl is None:
                    break
                # Another run's sweep may find the new file before it is locked, take it for a leftover
                # and remove it: so wait for the lock, then make sure the name still leads to this file.
                fcntl.flock(self.fd, fcntl.LOCK_EX)
                opened = os.fstat(self.fd)
                if file_id(self.path) == (opened.st_dev, opened.st_ino):
                    break
            except BaseException:
                self.discard()
                raise
            self._close()
        try:
            if keep_mode is not None and hasattr(os, "fchmod"):
                os.fchmod(self.fd, keep_mode)
        except BaseException:
            self.discard()
            raise

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def publish(self, replace: bool) -> bool:
        """Make the part file the destination; False (and the part file kept) when one exists and not ``replace``.

        The data is flushed to the disk first, and the folder after the
        rename, so a power cut cannot leave an empty file under the final name.
        """
        os.fsync(self.fd)
        if replace:
            os.replace(self.path, self.dest)
        else:
            try:
                os.link(self.path, self.dest)  # fails if the destination exists: no check-then-write race
            except FileExistsError:
                return False
            except OSError:  # a file system without hard links
                if os.path.lexists(self.dest):
                    return False
                os.replace(self.path, self.dest)
            else:
                os.unlink(self.path)
        self.done = True
        _sync_folder(self.dest.parent)
        self._close()
        return True

    def discard(self) -> None:
        """Remove the part file (nothing is published)."""
        if not self.done:
            self.done = True
            with contextlib.suppress(OSError):
                os.unlink(self.path)
        self._close()

    def _close(self) -> None:
        if self.fd >= 0:
            with contextlib.suppress(OSError):
                os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> PartFile:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.discard()  # after publish this only closes


def _sync_folder(folder: Path) -> None:
    with contextlib.suppress(OSError, AttributeError):  # not every system can open or sync a folder
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def sweep(folder: Path) -> list[Path]:
    """Remove the part files that killed runs left in ``folder``; returns what was removed.

    A part file whose lock can be taken has no writer any more.  Part files
    of runs still writing, links and anything else are left alone.
    """
    removed: list[Path] = []
    if fcntl is None:
        return removed
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for entry in entries:
        if not _PART_NAME.match(entry.name):
            continue
        try:
            if not entry.is_file(follow_symlinks=False):
                continue
            fd = os.open(entry.path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0))
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.unlink(entry.path)
            removed.append(Path(entry.path))
        except OSError:  # locked: a run is writing it; or it went away meanwhile
            pass
        finally:
            os.close(fd)
    return removed

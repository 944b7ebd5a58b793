"""A model file and the files its tensors are stored in, read without harm: regular files only, none outside its folder."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from quarn.inspection.detect._files import OPEN_FLAGS, file_kind
from quarn.inspection.detect.model_tool.errors import Refused

# One ONNX file is one protobuf message, which cannot exceed 2 GiB; a larger input is not a model.
MAX_MODEL_BYTES = 2**31 - 1

def _read_fd(fd: int, offset: int, length: int) -> bytes:
    """``length`` bytes from ``offset`` of a regular file (fewer only if it shrank meanwhile)."""
    os.lseek(fd, offset, os.SEEK_SET)
    chunks, left = [], length
    while left > 0:
        chunk = os.read(fd, min(left, 1 << 24))
        if not chunk:
            break
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


def read_model(source: Path) -> tuple[bytes, tuple[int, int]]:
    """The bytes of the model file ``source`` and its (device, inode); anything but a regular file is refused unread."""
    try:
        st = source.stat()
        if stat.S_ISREG(st.st_mode) and st.st_size <= MAX_MODEL_BYTES:
            fd = os.open(source, OPEN_FLAGS)
            try:
                st = os.fstat(fd)  # what was opened, in case the name changed meanwhile
                if stat.S_ISREG(st.st_mode) and st.st_size <= MAX_MODEL_BYTES:
                    return _read_fd(fd, 0, st.st_size), (st.st_dev, st.st_ino)
            finally:
                os.close(fd)
    except FileNotFoundError:
        raise Refused(f"{source}: no such file") from None
    except OSError as exc:
        raise Refused(f"cannot read {source}: {exc.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{source} is {file_kind(st.st_mode)}, not a model file")
    raise Refused(f"{source} is {st.st_size / (1 << 30):.1f} GiB; an ONNX file holds at most 2 GiB")


def _tensors(message: Any) -> Iterator[Any]:
    """Every TensorProto in an ONNX message: initialisers, constants and attributes, in subgraphs and functions too."""
    from google.protobuf.message import Message
    from onnx import TensorProto

    for field, value in message.ListFields():
        if field.message_type is None:
            continue
        for item in [value] if isinstance(value, Message) else value:
            if isinstance(item, TensorProto):
                yield item
            else:
                yield from _tensors(item)


def _walk_inside(folder: Path, location: str, what: str) -> tuple[Path, os.stat_result]:
    """The regular file ``location`` names inside ``folder``, reached without links, special files or ways out."""
    parts = [p for p in location.split("/") if p != "."]
    if not parts or location.startswith("/") or any(p in ("", "..") or "\\" in p or "\0" in p for p in parts):
        raise Refused(f"{what} is stored in {location!r}, which is not a path inside the model's folder")
    path = folder
    for n, part in enumerate(parts, 1):
        path = path / part
        try:
            st = os.lstat(path)
        except OSError as exc:
            raise Refused(f"{what} is stored in {location!r}: {exc.strerror}") from None
        if stat.S_ISLNK(st.st_mode):
            raise Refused(f"{what} is stored in {location!r}, through a symbolic link; only files inside the model's folder are read")
        if n < len(parts) and not stat.S_ISDIR(st.st_mode):
            raise Refused(f"{what} is stored in {location!r}: {'/'.join(parts[:n])} is {file_kind(st.st_mode)}")
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{what} is stored in {location!r}, which is {file_kind(st.st_mode)}, not a data file")
    return path, st


def _open_inside(folder: Path, location: str, what: str) -> tuple[int, os.stat_result]:
    """Open the regular file ``location`` names inside ``folder``, refusing links, special files and ways out."""
    path, st = _walk_inside(folder, location, what)
    try:
        fd = os.open(path, OPEN_FLAGS | getattr(os, "O_NOFOLLOW", 0))
    except OSError as exc:
        raise Refused(f"{what} is stored in {location!r}: {exc.strerror}") from None
    opened = os.fstat(fd)
    if (opened.st_dev, opened.st_ino) != (st.st_dev, st.st_ino) or not stat.S_ISREG(opened.st_mode):
        os.close(fd)
        raise Refused(f"{what} is stored in {location!r}, which changed while it was being read")
    return fd, opened


def load_external_data(model: Any, folder: Path) -> list[tuple[int, int]]:
    """Move the data of every tensor stored outside the model file into the model; the (device, inode) of each file read.

    Only regular files inside ``folder`` (the model's own) are read, each
    reached without symbolic links: a crafted location never reads other
    files, waits on a pipe or copies a link's target into the output.
    """
    from onnx import TensorProto

    read: list[tuple[int, int]] = []
    total = 0
    for tensor in _tensors(model):
        if tensor.data_location != TensorProto.EXTERNAL:
            continue
        data, ident = _external(tensor, folder, MAX_MODEL_BYTES - total)
        total += len(data)
        tensor.raw_data = data
        tensor.data_location = TensorProto.DEFAULT
        del tensor.external_data[:]
        read.append(ident)
    return read


def _external(tensor: Any, folder: Path, room: int) -> tuple[bytes, tuple[int, int]]:
    """The bytes of ``tensor`` stored outside the model file (at most ``room`` of them), and where they were read."""
    what = f"its tensor {tensor.name!r}"
    info = {e.key: e.value for e in tensor.external_data}
    location = info.get("location", "")
    fd, st = _open_inside(folder, location, what)
    try:
        try:
            offset = int(info.get("offset") or 0)
            length = int(info["length"]) if info.get("length") else st.st_size - offset
        except ValueError:
            raise Refused(f"{what} has an offset or length that is not a number") from None
        if offset < 0 or length < 0 or offset + length > st.st_size:
            raise Refused(f"{what} lies outside {location!r} ({length} bytes at {offset}; the file has {st.st_size})")
        if length > room:
            raise Refused("its tensor data exceed 2 GiB, more than one ONNX file can hold")
        data = _read_fd(fd, offset, length)
    finally:
        os.close(fd)
    if len(data) != length:
        raise Refused(f"{what}: {location!r} shrank while it was being read")
    return data, (st.st_dev, st.st_ino)

"""Class names: read from a names file, and declared in a model's metadata.

One reader serves ``quarn-detect --names`` and ``quarn-detect-model adapt/fetch
--names``.  A names file is one of:

- ``.yaml`` / ``.yml``: a ``names:`` entry, a list of names or a mapping from
  class id to name, as training tools write it in ``data.yaml`` (needs PyYAML);
- ``.json``: a list of names, or an object from decimal class id to name;
- anything else: one name per line, line k naming class k; a blank line leaves
  its class unnamed.

A model declares its names under ``contract.NAMES_KEY`` in its ONNX metadata,
as JSON: a list when the names cover classes 0..n-1, else an object from
decimal id to name.  Nothing here loads the extension, onnx or ONNX Runtime.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from quarn.inspection.detect import _files

__all__ = ["MAX_FILE_BYTES", "NamesError", "declaration", "parse_declaration", "read_file"]

# A names file of a million classes fits many times over; a larger one is not a names file.
MAX_FILE_BYTES = 16 << 20
_MAX_ID = 2**63 - 1  # labels are int64


class NamesError(ValueError):
    """The names cannot be read; the message says why, in one line."""


def read_file(path: Path) -> dict[int, str]:
    """The class names in the file ``path``, by class id.  Raises ``NamesError``, or ``OSError`` when it cannot be read."""
    try:
        text = _read(path).decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise NamesError(f"not UTF-8 text (byte {exc.start + 1})") from None
    suffix = path.suffix.lower()
    if suffix in (".yaml", ".yml"):
        return _from_yaml(text)
    if suffix == ".json":
        return _from_value(_json(text), "the file")
    return _from_lines(text)


def parse_declaration(text: str) -> dict[int, str]:
    """The names a model's metadata declares (a JSON list, or an object from decimal id to name)."""
    return _from_value(_json(text), "the declaration")


def declaration(names: dict[int, str]) -> str:
    """The metadata text that declares ``names``: a JSON list when they are classes 0..n-1, else an object."""
    ids = sorted(names)
    if ids == list(range(len(ids))):
        return json.dumps([names[k] for k in ids])
    return json.dumps({str(k): names[k] for k in ids})


def _read(path: Path) -> bytes:
    try:
        return _files.read_regular(path, MAX_FILE_BYTES)
    except _files.NotRegular:
        raise NamesError("not a regular file") from None
    except _files.TooLarge as exc:
        raise NamesError(f"{exc.size / (1 << 20):.0f} MiB; a names file holds at most {MAX_FILE_BYTES >> 20} MiB") from None


def _from_lines(text: str) -> dict[int, str]:
    """Line k names class k.  Lines end at "\\n" (a "\\r" before it belongs to the line end) and nowhere else:
    a form feed, NEL or LINE SEPARATOR inside a name does not shift the names after it.  A carriage return
    inside a name is refused, since it means a file with "\\r" line ends, whose names would all fall on class 0.
    """
    names = {}
    for k, line in enumerate(text.split("\n")):
        name = line.strip()
        if "\r" in name:
            raise NamesError(f"line {k + 1} holds a carriage return inside a name; lines must end with \\n or \\r\\n")
        if name:
            names[k] = name
    if not names:
        raise NamesError("the file holds no names")
    return names


def _json(text: str) -> Any:
    def pairs(items: list[tuple[str, Any]]) -> dict[str, Any]:
        keys = [k for k, _ in items]
        if len(set(keys)) != len(keys):
            raise NamesError(f"class id {next(k for k in keys if keys.count(k) > 1)!r} is named twice")
        return dict(items)

    try:
        return json.loads(text, object_pairs_hook=pairs)
    except (ValueError, RecursionError) as exc:
        if isinstance(exc, NamesError):
            raise
        raise NamesError(f"not valid JSON ({exc})") from None


def _from_yaml(text: str) -> dict[int, str]:
    try:
        import yaml
    except ImportError:
        raise NamesError('reading a YAML names file needs PyYAML, which is not installed: pip install pyyaml') from None
    try:
        value = yaml.safe_load(text)
    except (yaml.YAMLError, RecursionError) as exc:
        raise NamesError("not valid YAML (" + " ".join(str(exc).split()) + ")") from None
    if not isinstance(value, dict) or "names" not in value:
        raise NamesError("the file holds no 'names:' entry")
    return _from_value(value["names"], "its 'names:' entry")


def _from_value(value: Any, what: str) -> dict[int, str]:
    """Names from a list (index = class id) or a mapping from class id (an int or decimal text) to name."""
    pairs: Iterable[tuple[Any, Any]]
    if isinstance(value, list):
        pairs = enumerate(value)
    elif isinstance(value, dict):
        pairs = ((_class_id(k), v) for k, v in value.items())
    else:
        raise NamesError(f"{what} is not a list of names or a mapping from class id to name")
    names: dict[int, str] = {}
    for k, name in pairs:
        if not isinstance(name, str):
            raise NamesError(f"the name of class {k} is not text ({name!r}); quote it")
        if k in names:
            raise NamesError(f"class id {k} is named twice")
        names[k] = name
    if not names:
        raise NamesError(f"{what} holds no names")
    return names


def _class_id(key: Any) -> int:
    if isinstance(key, int) and not isinstance(key, bool):
        k = key
    elif isinstance(key, str) and key.isascii() and key.isdigit() and len(key) <= 19:
        k = int(key)
    else:
        raise NamesError(f"{key!r} is not a class id (0, 1, 2, ...)")
    if not 0 <= k <= _MAX_ID:
        raise NamesError(f"{key!r} is not a class id (0, 1, 2, ...)")
    return k

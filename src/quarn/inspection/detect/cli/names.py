"""Class names to show: a --names file, or the model's metadata."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from quarn.inspection.detect.cli.console import json_text
from quarn.inspection.detect.cli.errors import InputError
from quarn.inspection.detect.cli.media import read_bytes


def names_from_metadata(text: str) -> dict[int, str]:
    value = json.loads(text)
    pairs: Any
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        pairs = enumerate(value)
    elif isinstance(value, dict) and all(isinstance(v, str) for v in value.values()):
        pairs = ((int(k), v) for k, v in value.items())
    else:
        raise ValueError("not a JSON list of names or an object from class id to name")
    # JSON's "\ud800" is a lone surrogate: no text, and OpenCV's text drawing cannot take it
    return {k: json_text(v) for k, v in pairs}


def read_names(path: Path) -> dict[int, str]:
    """Line k names class k; a blank line leaves its class to be shown by id.

    Lines end at "\\n" (a "\\r" before it belongs to the line end) and nowhere
    else: a form feed, NEL or LINE SEPARATOR inside a name does not shift the
    names after it.  A carriage return inside a name is refused, since it means
    a file with "\\r" line ends, whose names would all fall on class 0.
    """
    names = {}
    for k, line in enumerate(read_bytes(path).decode("utf-8-sig").split("\n")):
        name = line.strip()
        if "\r" in name:
            raise InputError(f"line {k + 1} holds a carriage return inside a name; "
                             "lines must end with \\n or \\r\\n")
        if name:
            names[k] = name
    if not names:
        raise InputError("the file holds no names")
    return names

"""How the tool says no: one exception for what it will not do, with the message the user reads."""

from __future__ import annotations

from typing import Any

PROG = "quarn-detect-model"
MISSING_ONNX = f'{PROG} needs the onnx package, which is not installed. Install it with: pip install "quarn[model]"'


class Refused(Exception):
    """The input is not something this tool can adapt, or the output may not be written."""


def import_onnx() -> Any:
    try:
        import onnx
    except ImportError as exc:
        raise Refused(MISSING_ONNX) from exc
    return onnx


def printable(text: str) -> str:
    """``text`` on one line: control characters and undecodable bytes of names escaped."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)

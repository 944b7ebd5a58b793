"""Class names to show from a --names file (read by ``class_names``); without one, the detector's own."""

from __future__ import annotations

from pathlib import Path

from quarn.inspection.detect import class_names
from quarn.inspection.detect.cli.console import json_text


def shown(names: dict[int, str]) -> dict[int, str]:
    # JSON's "\ud800" is a lone surrogate: no text, and OpenCV's text drawing cannot take it
    return {k: json_text(v) for k, v in names.items()}


def read_names(path: Path) -> dict[int, str]:
    """The names of a --names file: one per line, YAML (``names:``) or JSON; see ``class_names``."""
    return shown(class_names.read_file(path))

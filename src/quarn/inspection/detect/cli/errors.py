"""What stops an input, the model or the whole run, each as its own exception."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quarn.inspection.detect.dfine_runner import DfineDetector


class InputError(Exception):
    """An input the user can fix (unreadable, not an image, would overwrite itself)."""


class ModelError(Exception):
    """The model cannot serve this command line; the message says why, in one line."""

    def __init__(self, message: str, loaded: DfineDetector | None = None) -> None:
        super().__init__(message)
        self.loaded = loaded  # set when the model loaded but breaks the inputs/outputs contract


class OutputError(Exception):
    """Standard output cannot be written (closed, or its disk full): nothing more can be reported."""


def reason(exc: BaseException) -> str:
    """What went wrong, in words: an OSError's own text without its number and file name."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)

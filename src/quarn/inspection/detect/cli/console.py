"""What the command line prints: names made safe for a terminal, strict JSON lines, and the console itself."""

from __future__ import annotations

import contextlib
import json
import math
import shutil
import time
import unicodedata
from collections.abc import Iterator
from typing import Any, TextIO

from quarn.inspection.detect.cli.errors import OutputError, reason

# What a terminal would act on or not show: control characters (ESC, CR, ...), invisible formatting
# (bidirectional overrides, zero-width marks), line and paragraph separators, and lone surrogates
# (bytes of a file name that are not UTF-8, as Python decodes them).
_UNSHOWN = frozenset({"Cc", "Cf", "Cs", "Zl", "Zp"})


def _escape(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8: \x80 to \xff
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x80:  # a control character: \x00 to \x1f, \x7f
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def shown(text: str) -> str:
    """``text`` as printed: characters a terminal would act on or not show are escaped.

    Bytes of a file name that are not UTF-8 become ``\\xNN`` (80-ff), control
    characters ``\\xNN`` (00-1f, 7f), other invisible or unencodable ones
    ``\\uNNNN``; so a name can neither break the table nor drive the terminal,
    and printing it never fails.
    """
    if text.isprintable():
        return text
    return "".join(_escape(ch) if unicodedata.category(ch) in _UNSHOWN else ch for ch in text)


def json_text(text: str) -> str:
    """``text`` for JSON: exact, except that lone surrogates, which JSON cannot carry, are escaped as by ``shown``."""
    if text.isprintable():
        return text
    return "".join(_escape(ch) if "\ud800" <= ch <= "\udfff" else ch for ch in text)


def _jsonable(value: Any) -> Any:
    if isinstance(value, str):
        return json_text(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None  # a broken model's inf or nan score
    if isinstance(value, dict):
        return {json_text(str(k)): _jsonable(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [_jsonable(v) for v in value]
    return value


def json_line(value: Any) -> str:
    """One line of JSON that strict parsers accept: no NaN or Infinity (null instead), no lone surrogates.

    It is ASCII (``ensure_ascii``), so any stdout encoding can carry it.
    """
    return json.dumps(_jsonable(value), allow_nan=False)


def clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else \
        f"{seconds // 60}:{seconds % 60:02d}"


class Console:
    """stdout/stderr writer that keeps a progress line on a terminal's stderr out of the way.

    What it writes fits the stream's encoding (backslash escapes where a
    character does not), so no text ever fails an input by being printed.
    """

    def __init__(self, out: TextIO, err: TextIO, prog: str) -> None:
        self.out, self.err, self.prog = out, err, prog
        self.bar = err.isatty()
        self.drawn = False
        self._line = ""
        self._last = 0.0

    @contextlib.contextmanager
    def _clear(self) -> Iterator[None]:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
        yield
        if self.drawn:
            self._write(self.err, self._line)
            self.err.flush()

    @staticmethod
    def _write(stream: TextIO, text: str) -> None:
        try:
            stream.write(text)
        except UnicodeEncodeError:  # nothing was written: the text is encoded before it is buffered
            encoding = getattr(stream, "encoding", None) or "ascii"
            stream.write(text.encode(encoding, "backslashreplace").decode(encoding))

    def print(self, text: str) -> None:
        """Write lines composed with names already passed through ``shown``, or JSON."""
        with self._clear():
            try:
                self._write(self.out, text + "\n")
                self.out.flush()
            except BrokenPipeError:
                raise
            except (OSError, ValueError) as exc:  # ValueError: a closed file object
                raise OutputError(reason(exc)) from None

    def error(self, text: str) -> None:
        with self._clear():
            self._write(self.err, f"{self.prog}: {shown(' '.join(text.split()))}\n")  # always one line
            self.err.flush()

    def note(self, text: str) -> None:
        with self._clear():
            self._write(self.err, "\n".join(map(shown, text.split("\n"))) + "\n")
            self.err.flush()

    def progress(self, text: str, every_time: bool = False) -> None:
        now = time.monotonic()
        if not self.bar or (not every_time and now - self._last < 0.1):  # not on every frame: it costs
            return
        self._last = now
        width = shutil.get_terminal_size((80, 20)).columns
        self._line = "\r" + shown(text)[: width - 1] + "\x1b[K"
        self._write(self.err, self._line)
        self.err.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.err.write("\r\x1b[K")
            self.err.flush()
            self.drawn = False

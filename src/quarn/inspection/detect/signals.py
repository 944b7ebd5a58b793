"""SIGINT and SIGTERM: the run stops as on Ctrl-C, but never half-way through writing an output."""

from __future__ import annotations

import contextlib
import signal
from collections.abc import Iterator
from typing import Any


class Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM: the run stops as on Ctrl-C; ``signum`` says which."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Signals:
    """SIGINT and SIGTERM stop the run, but never inside a ``held()`` block.

    An output being published, or a video frame being written and counted,
    is finished first, so what was written stays valid and counted right.
    A signal the process was started ignoring (SIGINT in a background job)
    stays ignored.
    """

    def __init__(self) -> None:
        self.depth = 0
        self.pending: int | None = None
        self.before: dict[int, Any] = {}

    def install(self) -> None:
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                old = signal.getsignal(signum)
                if old in (signal.SIG_IGN, None):
                    continue
                signal.signal(signum, self._handle)
            except ValueError:  # not the main thread: Ctrl-C keeps Python's own handling
                continue
            self.before[signum] = old

    def restore(self) -> None:
        for signum, old in self.before.items():
            signal.signal(signum, old)
        self.before.clear()

    def _handle(self, signum: int, frame: object) -> None:
        if self.depth:
            self.pending = signum
            return
        raise Stopped(signum)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if not self.depth and self.pending is not None:
                signum, self.pending = self.pending, None
                raise Stopped(signum)


SIGNALS = Signals()

"""Option values as the command line and the model tool read them, with the same one-line complaints."""

from __future__ import annotations

import argparse
from collections.abc import Callable

__all__ = ["add_device", "count", "device", "fraction"]


def fraction(text: str) -> float:
    """A number from 0 to 1 (a confidence, an AP threshold)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number between 0 and 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:  # also refuses nan
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def count(least: int, most: int | None = None) -> Callable[[str], int]:
    """A whole number from ``least`` (to ``most``)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        if most is not None and value > most:
            raise argparse.ArgumentTypeError(f"must be at most {most}, got {value}")
        return value
    return parse


def add_device(p: argparse.ArgumentParser) -> None:
    """-d/--device: where the detector runs."""
    p.add_argument("-d", "--device", choices=("auto", "cpu", "cuda"), default="auto",
                   help="where to run: auto uses CUDA when available (default: %(default)s)")


def device(args: argparse.Namespace) -> str | None:
    """The device get_detector is given: None lets it choose."""
    return None if args.device == "auto" else args.device

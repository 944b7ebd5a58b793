"""Model files of the package, found by component key and name.

A model is asked for as ``(component, name)``, for example ``("detect",
"dfine_m_coco.onnx")``.  Where ``name`` is a path (it holds a directory
separator, starts with ``~`` or is absolute) it is used as it is.  A bare file
name is looked up as ``<root>/<component>/<name>`` under each root of the
search path, first match wins:

1. every directory listed in the environment variable ``QUARN_WEIGHTS_DIR``
   (several are separated by ``os.pathsep``), in the order given;
2. the per-user data directory: ``%LOCALAPPDATA%\\quarn\\weights`` on Windows,
   otherwise ``$XDG_DATA_HOME/quarn/weights`` (``~/.local/share/quarn/weights``
   when ``XDG_DATA_HOME`` is unset).

``available`` and ``model_path`` use the same resolution, so a model reported
available is exactly the file that ``model_path`` returns.  Nothing here loads
a model.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path

__all__ = ["ENV_VAR", "WeightsNotFound", "available", "model_path", "search_roots"]

ENV_VAR = "QUARN_WEIGHTS_DIR"


class WeightsNotFound(FileNotFoundError):
    """A model file could not be found; the message says where it was looked for."""


def search_roots() -> list[Path]:
    """The roots searched for bare model names, most preferred first."""
    roots = [Path(p).expanduser() for p in os.environ.get(ENV_VAR, "").split(os.pathsep) if p]
    if os.name == "nt" and os.environ.get("LOCALAPPDATA"):
        roots.append(Path(os.environ["LOCALAPPDATA"]) / "quarn" / "weights")
    else:
        data_home = os.environ.get("XDG_DATA_HOME") or str(Path("~/.local/share").expanduser())
        roots.append(Path(data_home) / "quarn" / "weights")
    return roots


def _is_explicit_path(name: str) -> bool:
    seps = {os.sep} | ({os.altsep} if os.altsep else set())
    return name.startswith("~") or os.path.isabs(name) or any(s in name for s in seps)


def _candidates(component: str, name: str | os.PathLike[str]) -> list[Path]:
    if not isinstance(component, str) or not component:
        raise TypeError(f"component must be a non-empty str, not {component!r}")
    if isinstance(name, os.PathLike):
        name = os.fspath(name)
    if not isinstance(name, str):
        raise TypeError(f"model name must be a str or path, not {type(name).__name__}")
    if _is_explicit_path(name):
        return [Path(name).expanduser()]
    if not name:
        return []
    return [root / component / name for root in search_roots()]


def _probe(path: Path) -> tuple[bool, str]:
    """Whether ``path`` is a regular file, and why the system could not tell.

    A name the system cannot hold (a NUL byte, a name too long) is simply
    not a model that is there; it must not surface as an OSError or
    ValueError to callers that only asked whether the model is available.
    """
    try:
        return stat.S_ISREG(path.stat().st_mode), ""
    except ValueError:  # embedded NUL byte
        return False, "the name contains a NUL byte, which no file name can hold"
    except OSError as exc:
        if exc.errno in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP, errno.EBADF):
            return False, ""
        if exc.errno == errno.ENAMETOOLONG:
            return False, f"the name is too long for this system ({exc.strerror})"
        return False, exc.strerror or str(exc)


def model_path(component: str, name: str | os.PathLike[str]) -> Path:
    """Path of the model file ``name`` of ``component``; raises ``WeightsNotFound``."""
    candidates = _candidates(component, name)
    problems = []
    for path in candidates:
        found, problem = _probe(path)
        if found:
            return path
        if problem and problem not in problems:
            problems.append(problem)
    raise WeightsNotFound(_not_found_message(component, os.fspath(name), candidates, problems))


def available(component: str, name: str | os.PathLike[str]) -> bool:
    """Whether ``model_path(component, name)`` would find a file; loads nothing."""
    return any(_probe(path)[0] for path in _candidates(component, name))


def _not_found_message(component: str, name: str, searched: list[Path], problems: list[str]) -> str:
    places = ", ".join(str(p).replace("\0", "\\0") for p in searched) or "nowhere (empty model name)"
    if problems:
        fix = "Check the model name."
    elif _is_explicit_path(name):
        fix = "Check the path, or pass a bare file name to search the model folders."
    else:
        fix = (
            f"Copy the file to {component}/{name} under one of the folders above, "
            f"or set {ENV_VAR} to a folder that holds {component}/{name}, "
            "or pass the file's full path."
        )
    why = "".join(f": {p}" for p in problems[:1]) + "".join(f"; {p}" for p in problems[1:])
    return f"Model {name!r} for component {component!r} was not found{why}. Looked in: {places}. {fix}"

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

import os
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


def model_path(component: str, name: str | os.PathLike[str]) -> Path:
    """Path of the model file ``name`` of ``component``; raises ``WeightsNotFound``."""
    candidates = _candidates(component, name)
    for path in candidates:
        if path.is_file():
            return path
    raise WeightsNotFound(_not_found_message(component, os.fspath(name), candidates))


def available(component: str, name: str | os.PathLike[str]) -> bool:
    """Whether ``model_path(component, name)`` would find a file; loads nothing."""
    return any(path.is_file() for path in _candidates(component, name))


def _not_found_message(component: str, name: str, searched: list[Path]) -> str:
    places = ", ".join(str(p) for p in searched) or "nowhere (empty model name)"
    if _is_explicit_path(name):
        fix = "Check the path, or pass a bare file name to search the model folders."
    else:
        fix = (
            f"Copy the file to {component}/{name} under one of the folders above, "
            f"or set {ENV_VAR} to a folder that holds {component}/{name}, "
            "or pass the file's full path."
        )
    return f"Model {name!r} for component {component!r} was not found. Looked in: {places}. {fix}"

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

Only absolute folders are roots.  A relative ``XDG_DATA_HOME`` is ignored, as
the XDG Base Directory rules say, and the default is used instead; a relative
``QUARN_WEIGHTS_DIR`` entry is ignored the same way, because a root that
depends on the current folder would install a model in one place and look for
it in another.  A leading ``~`` or ``~user`` is expanded; an entry where that
cannot be done (an unknown user, or a user without a known home folder, as in
containers run under an arbitrary uid) is ignored too.  ``ignored_roots`` says
which entries were ignored and why, and so does the not-found message.  Nothing
here raises for a name or an environment that cannot be resolved: such a model
is simply not available, and ``model_path`` says why.

``available`` and ``model_path`` use the same resolution, so a model reported
available is exactly the file that ``model_path`` returns.  Nothing here loads
a model.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path

__all__ = ["ENV_VAR", "HOW_TO_GET", "WeightsNotFound", "available", "candidates", "ignored_roots", "model_path", "search_roots"]

ENV_VAR = "QUARN_WEIGHTS_DIR"
# How to get a component's model, said at the end of every not-found message.
HOW_TO_GET = {
    "detect": 'quarn-detect-model fetch (downloads and installs the default model; pip install "quarn[model]" first), '
              "or quarn-detect-model adapt RAW.onnx for a raw D-FINE export at hand",
}
_NUL = "the name contains a NUL byte, which no file name can hold"


class WeightsNotFound(FileNotFoundError):
    """A model file could not be found; the message says where it was looked for."""


def _expand(text: str) -> tuple[str, str]:
    """``text`` with a leading ``~`` or ``~user`` expanded, or '' and why that cannot be done."""
    if not text.startswith("~"):
        return text, ""
    try:
        expanded = os.path.expanduser(text)
    except ValueError:  # a NUL byte in the user name
        return "", _NUL
    if not expanded.startswith("~"):
        return expanded, ""
    # expanduser leaves what it cannot expand as it was
    head = text.replace(os.altsep or os.sep, os.sep).split(os.sep, 1)[0]
    if head != "~":
        return "", f"{head!r} cannot be expanded: this system knows no user {head[1:]!r}"
    if os.name == "nt":
        return "", "'~' cannot be expanded: neither USERPROFILE nor HOMEDRIVE and HOMEPATH are set"
    return "", f"'~' cannot be expanded: HOME is not set and user id {os.getuid()} has no entry in the user database"


def _roots() -> tuple[list[Path], list[str]]:
    roots: list[Path] = []
    ignored: list[str] = []

    def add(what: str, folder: str, *tail: str) -> None:
        path, why = _expand(folder)
        if not why and not os.path.isabs(path):
            why = "not an absolute path"
        if why:
            ignored.append(f"{what} ({why})")
        else:
            roots.append(Path(path, *tail))

    for entry in os.environ.get(ENV_VAR, "").split(os.pathsep):
        if entry:
            add(f"{ENV_VAR} entry {entry!r}", entry)
    if os.name == "nt" and os.environ.get("LOCALAPPDATA"):
        add(f"LOCALAPPDATA {os.environ['LOCALAPPDATA']!r}", os.environ["LOCALAPPDATA"], "quarn", "weights")
        return roots, ignored
    data_home = os.environ.get("XDG_DATA_HOME", "")
    if data_home and os.path.isabs(data_home):
        roots.append(Path(data_home, "quarn", "weights"))
        return roots, ignored
    if data_home:
        ignored.append(f"XDG_DATA_HOME {data_home!r} (not an absolute path; ~/.local/share is used instead)")
    add("the per-user folder ~/.local/share/quarn/weights", "~/.local/share", "quarn", "weights")
    return roots, ignored


def search_roots() -> list[Path]:
    """The roots searched for bare model names, most preferred first; only absolute folders."""
    return _roots()[0]


def ignored_roots() -> list[str]:
    """The configured roots that are not searched, each with the reason, e.g. a relative path."""
    return _roots()[1]


def _is_explicit_path(name: str) -> bool:
    seps = {os.sep} | ({os.altsep} if os.altsep else set())
    return name.startswith("~") or os.path.isabs(name) or any(s in name for s in seps)


def _resolve(component: str, name: str | os.PathLike[str]) -> tuple[str, list[Path], list[str], list[str]]:
    """The name as text, the files to try in order, why some could not be named, and the roots not searched."""
    if not isinstance(component, str) or not component:
        raise TypeError(f"component must be a non-empty str, not {component!r}")
    if isinstance(name, os.PathLike):
        name = os.fspath(name)
    if not isinstance(name, str):
        raise TypeError(f"model name must be a str or path, not {type(name).__name__}")
    if _is_explicit_path(name):
        path, why = _expand(name)
        return name, ([Path(path)] if not why else []), ([why] if why else []), []
    if not name:
        return name, [], [], []
    roots, ignored = _roots()  # once: the message names the very roots searched
    return name, [root / component / name for root in roots], [], ignored


def candidates(component: str, name: str | os.PathLike[str]) -> list[Path]:
    """The files ``model_path`` tries for ``name``, in order; empty when none can be named."""
    return _resolve(component, name)[1]


_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _probe(path: Path) -> tuple[bool, str, bool]:
    """Whether ``path`` is a regular file; if not, what is wrong beyond its absence, and whether
    something else stands under its name.

    A name the system cannot hold (a NUL byte, a name too long) is simply
    not a model that is there; it must not surface as an OSError or
    ValueError to callers that only asked whether the model is available.
    """
    try:
        mode = path.stat().st_mode
    except ValueError:  # embedded NUL byte
        return False, _NUL, False
    except OSError as exc:
        if exc.errno in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP, errno.EBADF):
            return False, "", False
        if exc.errno == errno.ENAMETOOLONG:
            return False, f"the name is too long for this system ({exc.strerror})", False
        return False, exc.strerror or str(exc), False
    if stat.S_ISREG(mode):
        return True, "", True
    what = next((kind for test, kind in _KINDS if test(mode)), "not a regular file")
    return False, f"{path} is {what}, not a model file", True


def model_path(component: str, name: str | os.PathLike[str]) -> Path:
    """Path of the model file ``name`` of ``component``; raises ``WeightsNotFound``."""
    text, paths, problems, ignored = _resolve(component, name)
    in_the_way = False
    for path in paths:
        found, problem, present = _probe(path)
        if found:
            return path
        in_the_way |= present
        if problem and problem not in problems:
            problems.append(problem)
    raise WeightsNotFound(_not_found_message(component, text, paths, problems, ignored, in_the_way))


def available(component: str, name: str | os.PathLike[str]) -> bool:
    """Whether ``model_path(component, name)`` would find a file; loads nothing."""
    return any(_probe(path)[0] for path in candidates(component, name))


def _not_found_message(component: str, name: str, searched: list[Path], problems: list[str],
                       ignored: list[str], in_the_way: bool) -> str:
    places = ", ".join(str(p).replace("\0", "\\0") for p in searched) or (
        "nowhere" if name else "nowhere (empty model name)")
    if problems:
        fix = "Check the model name."
    elif _is_explicit_path(name):
        fix = "Check the path, or pass a bare file name to search the model folders."
    elif not searched:
        fix = f"Set {ENV_VAR} to an absolute folder that holds {component}/{name}, or pass the file's full path."
    else:
        fix = (
            f"Copy the file to {component}/{name} under one of the folders above, "
            f"or set {ENV_VAR} to an absolute folder that holds {component}/{name}, "
            "or pass the file's full path."
        )
    # a folder or a device where the model should be is named for what it is, not called missing
    outcome = "cannot be used" if in_the_way else "was not found"
    why = "".join(f": {p}" for p in problems[:1]) + "".join(f"; {p}" for p in problems[1:])
    skipped = f" Ignored: {'; '.join(ignored)}." if ignored else ""
    get = f" To get one: {HOW_TO_GET[component]}." if component in HOW_TO_GET else ""
    return f"Model {name!r} for component {component!r} {outcome}{why}. Looked in: {places}.{skipped} {fix}{get}"

import os
from pathlib import Path

import pytest

from quarn import weights


@pytest.fixture
def roots(tmp_path, monkeypatch):
    """Three candidate roots: two for QUARN_WEIGHTS_DIR, one as the per-user data home."""
    home, a, b, xdg = (tmp_path / n for n in ("home", "a", "b", "xdg"))
    for d in (home, a, b, xdg):
        d.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("QUARN_WEIGHTS_DIR", os.pathsep.join([str(a), "", str(b)]))
    monkeypatch.setenv("XDG_DATA_HOME", str(xdg))
    return {"a": a, "b": b, "user": xdg / "quarn" / "weights", "home": home}


def put(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"onnx")
    return path


@pytest.mark.parametrize("present, winner", [
    (["a", "b", "user"], "a"), (["b", "user"], "b"), (["user"], "user"), (["a", "user"], "a")])
def test_search_order(roots, present, winner):
    for key in present:
        put(roots[key] / "detect" / "m.onnx")
    put(roots["a"] / "other" / "m.onnx")  # another component's folder is never searched
    assert weights.model_path("detect", "m.onnx") == roots[winner] / "detect" / "m.onnx"
    assert weights.available("detect", "m.onnx") is True


def test_default_user_dir(roots, monkeypatch):
    monkeypatch.delenv("XDG_DATA_HOME")
    monkeypatch.delenv("QUARN_WEIGHTS_DIR")
    f = put(roots["home"] / ".local" / "share" / "quarn" / "weights" / "detect" / "m.onnx")
    assert weights.model_path("detect", "m.onnx") == f


@pytest.mark.parametrize("kind", ["absolute", "relative", "tilde", "pathlike"])
def test_explicit_paths_used_as_is(roots, monkeypatch, kind):
    f = put(roots["home"] / "site" / "m.onnx")
    put(roots["a"] / "detect" / "m.onnx")
    monkeypatch.chdir(roots["home"])
    name = {"absolute": str(f), "relative": os.path.join("site", "m.onnx"),
            "tilde": "~/site/m.onnx", "pathlike": f}[kind]
    got = weights.model_path("detect", name)
    assert got.resolve() == f.resolve() and weights.available("detect", name) is True


@pytest.mark.parametrize("name", ["m.onnx", "sub/m.onnx", "~/m.onnx", ""])
def test_not_found_message(roots, name):
    searched = ([roots[k] / "detect" / name for k in ("a", "b", "user")] if name and "/" not in name
                else [Path(name).expanduser()] if name else [])
    assert weights.available("detect", name) is False
    with pytest.raises(weights.WeightsNotFound) as ei:
        weights.model_path("detect", name)
    msg = str(ei.value)
    assert isinstance(ei.value, FileNotFoundError)
    assert msg.startswith(f"Model {name!r} for component 'detect' was not found. Looked in: ")
    places = [msg.index(str(p)) for p in searched]  # every place, in search order
    assert places == sorted(places) and ("nowhere" in msg) == (not name)


@pytest.mark.parametrize("name, problem", [
    ("./" + "m" * 300 + ".onnx", "too long"), ("m" * 300 + ".onnx", "too long"),
    ("a\0b.onnx", "NUL byte"), ("./a\0b.onnx", "NUL byte")])
def test_names_the_system_cannot_hold(roots, name, problem):
    # such a model is simply not there: no OSError/ValueError from the probe
    (roots["a"] / "detect").mkdir()  # so that the name itself is what the system rejects
    assert weights.available("detect", name) is False
    with pytest.raises(weights.WeightsNotFound, match=problem) as ei:
        weights.model_path("detect", name)
    assert "\0" not in str(ei.value)


def test_absolute_name_too_long(roots):
    name = str(roots["home"] / ("m" * 300 + ".onnx"))
    assert weights.available("detect", name) is False
    with pytest.raises(weights.WeightsNotFound, match="too long"):
        weights.model_path("detect", name)

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
    assert msg.endswith(f" To get one: {weights.HOW_TO_GET['detect']}.") and "quarn-detect-model fetch" in msg


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


@pytest.fixture
def homeless(monkeypatch):
    """A process whose user has no home: HOME unset and its uid missing from the user database."""
    import pwd

    def no_entry(uid):
        raise KeyError(f"getpwuid(): uid not found: {uid}")
    monkeypatch.delenv("HOME")
    monkeypatch.setattr(pwd, "getpwuid", no_entry)


@pytest.mark.parametrize("case", ["unknown user's path", "unknown user's root", "homeless path", "homeless root"])
def test_home_that_cannot_be_expanded(roots, monkeypatch, request, dr, case):
    if case.startswith("homeless"):
        request.getfixturevalue("homeless")
        monkeypatch.delenv("XDG_DATA_HOME")
        reason = "HOME is not set and user id"
    else:
        reason = "knows no user 'quarn-no-such-user'"
    if case.endswith("root"):  # that root is left out; the others are still searched
        monkeypatch.setenv("QUARN_WEIGHTS_DIR", os.pathsep.join(
            ["~quarn-no-such-user" if case.startswith("unknown") else str(roots["a"]), str(roots["b"])]))
        name = "m.onnx"
        assert weights.search_roots()[:1] == [roots["b"] if case.startswith("unknown") else roots["a"]]
        assert all(p.is_absolute() for p in weights.search_roots())
    else:
        name = "~/m.onnx" if case.startswith("homeless") else "~quarn-no-such-user/m.onnx"
    assert weights.available("detect", name) is False and dr.is_available(name) is False
    with pytest.raises(weights.WeightsNotFound, match=reason):
        weights.model_path("detect", name)
    with pytest.raises(dr.DetectError, match=reason):
        dr.get_detector(name)
    if case.endswith("root"):
        put(roots["b"] / "detect" / name)
        assert weights.model_path("detect", name) == roots["b"] / "detect" / name


def test_relative_roots_are_ignored(roots, monkeypatch, tmp_path, capsys):
    from quarn.inspection.detect import model_tool

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("QUARN_WEIGHTS_DIR", os.pathsep.join(["rel", str(roots["b"])]))
    monkeypatch.setenv("XDG_DATA_HOME", "xdg-rel")
    put(tmp_path / "rel" / "detect" / "m.onnx")
    put(tmp_path / "xdg-rel" / "quarn" / "weights" / "detect" / "m.onnx")
    user = roots["home"] / ".local" / "share" / "quarn" / "weights"
    assert weights.search_roots() == [roots["b"], user]  # XDG's rule: a relative XDG_DATA_HOME means the default
    with pytest.raises(weights.WeightsNotFound) as ei:
        weights.model_path("detect", "m.onnx")
    assert "Ignored: QUARN_WEIGHTS_DIR entry 'rel' (not an absolute path); XDG_DATA_HOME 'xdg-rel'" in str(ei.value)
    # installs go to the first absolute root, where a lookup from any folder finds them
    assert model_tool.default_target() == roots["b"] / "detect" / "dfine_m_coco.onnx"
    monkeypatch.setenv("HOME", "home-rel")
    monkeypatch.setenv("QUARN_WEIGHTS_DIR", "rel")
    assert weights.search_roots() == [] and len(weights.ignored_roots()) == 3
    assert model_tool.main(["adapt", str(tmp_path / "raw.onnx")]) == 1 and not (tmp_path / "home-rel").exists()
    assert "no model folder to install into" in capsys.readouterr().err


@pytest.mark.parametrize("what", ["folder", "named pipe", "character device"])
def test_something_else_where_the_model_should_be(roots, what):
    path = roots["a"] / "detect" / "x.onnx"
    path.parent.mkdir()
    if what == "folder":
        path.mkdir()
    elif what == "named pipe":
        os.mkfifo(path)
    else:
        path = Path(os.devnull)
    for name in {"x.onnx", str(path)} if what != "character device" else {str(path)}:
        assert weights.available("detect", name) is False
        with pytest.raises(weights.WeightsNotFound) as ei:
            weights.model_path("detect", name)
        assert f"cannot be used: {path} is a {what}, not a model file" in str(ei.value)

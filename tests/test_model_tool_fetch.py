"""quarn-detect-model fetch against a stand-in hub on 127.0.0.1, reached as users reach a mirror: HF_ENDPOINT."""

import hashlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from hub_stand_in import Hub

onnx = pytest.importorskip("onnx")
pytest.importorskip("huggingface_hub")
from onnx import TensorProto as T, helper as h  # noqa: E402

from test_model_tool import build_raw  # noqa: E402

DEFAULT_REPO, FILE = "onnx-community/dfine_m_coco-ONNX", "onnx/model.onnx"


@pytest.fixture
def hub(tmp_path):
    """The stand-in, holding a raw export as D-FINE-M COCO; ``hub.fetch(*args, **env)`` runs the tool against it."""
    raw = build_raw(tmp_path / "raw.onnx").read_bytes()
    with Hub() as hub:
        hub.raw = raw
        hub.commit = hub.add(DEFAULT_REPO, {FILE: raw})
        hub.weights = tmp_path / "weights"

        def fetch(*args, home="hf", **env):
            clean = {k: v for k, v in os.environ.items() if not k.startswith(("HF_", "HUGGINGFACE_", "TRANSFORMERS_"))}
            clean.update(HF_ENDPOINT=hub.endpoint, HF_HOME=str(tmp_path / home), HF_HUB_DISABLE_TELEMETRY="1",
                         QUARN_WEIGHTS_DIR=str(hub.weights), **env)
            return subprocess.run([sys.executable, "-m", "quarn.inspection.detect.model_tool", "fetch", *map(str, args)],
                                  env=clean, capture_output=True, text=True, timeout=120, cwd=tmp_path)

        hub.fetch = fetch
        yield hub


def metadata(path):
    return {p.key: p.value for p in onnx.load(path).metadata_props}


def files_in(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*")) if folder.exists() else []


def test_fetch_installs_records_and_reruns(hub, tmp_path):
    installed = hub.weights / "detect" / "dfine_m_coco.onnx"
    sha = hashlib.sha256(hub.raw).hexdigest()
    p = hub.fetch()
    assert p.returncode == 0, p.stderr
    assert f"sha256 {sha}" in p.stdout and "installed as the default model" in p.stdout
    meta = metadata(installed)
    assert json.loads(meta["quarn:source"]) == {"repo_id": DEFAULT_REPO, "filename": FILE, "revision": hub.commit}
    assert meta["quarn:sha256"] == sha and meta["quarn:classes"] == "80" and len(json.loads(meta["names"])) == 80
    assert [i.name for i in onnx.load(installed).graph.input] == ["images", "orig_target_sizes"]

    # the same again: said, nothing written; with --force: installed anew
    before = os.stat(installed)
    again = hub.fetch()
    assert again.returncode == 0 and "already holds this download" in again.stdout, again.stderr
    assert os.stat(installed).st_ino == before.st_ino and os.stat(installed).st_mtime_ns == before.st_mtime_ns
    forced = hub.fetch("--force")
    assert forced.returncode == 0 and os.stat(installed).st_ino != before.st_ino

    # offline, from the hub cache alone: no request reaches the hub
    asked = len(hub.requests)
    offline = hub.fetch("-o", tmp_path / "offline.onnx", HF_HUB_OFFLINE="1")
    assert offline.returncode == 0, offline.stderr
    assert len(hub.requests) == asked and metadata(tmp_path / "offline.onnx")["quarn:sha256"] == sha

    # a new upload is never installed over the old one without --force
    other = build_raw(tmp_path / "other.onnx", seed=1).read_bytes()
    hub.add(DEFAULT_REPO, {FILE: other})
    changed = hub.fetch()
    assert changed.returncode == 1 and "exists; pass --force" in changed.stderr and metadata(installed)["quarn:sha256"] == sha

    # a damaged file in the hub cache is refused by its digest
    (blob,) = (tmp_path / "hf").rglob(f"blobs/{sha}")
    blob.write_bytes(hub.raw[:-1] + b"\0")
    hub.add(DEFAULT_REPO, {FILE: hub.raw}, commit=hub.commit)
    damaged = hub.fetch("-o", tmp_path / "damaged.onnx")
    assert damaged.returncode == 1 and "is damaged" in damaged.stderr and not (tmp_path / "damaged.onnx").exists()


def test_short_names_site_names_and_private_repositories(hub, tmp_path):
    hub.add("onnx-community/dfine_s_obj2coco-ONNX", {FILE: hub.raw})
    (tmp_path / "site.yaml").write_text("nc: 3\nnames:\n  0: scratch\n  1: dent\n  2: burr\n")
    p = hub.fetch("dfine-s-obj2coco", "--names", tmp_path / "site.yaml")
    assert p.returncode == 0, p.stderr
    assert files_in(hub.weights) == ["detect", "detect/dfine_s_obj2coco.onnx"]
    meta = metadata(hub.weights / "detect" / "dfine_s_obj2coco.onnx")
    assert json.loads(meta["names"]) == ["scratch", "dent", "burr"]
    assert "gives 3 names, but the model has 80 classes" in p.stderr and "-m dfine_s_obj2coco.onnx" in p.stdout
    # a vendor's private repository: HF_TOKEN reaches it; any repository id that is not the family's is the default model
    hub.add("vendor/line3-dfine", {FILE: hub.raw}, token="hf_vendor")
    assert "it is private" in hub.fetch("vendor/line3-dfine").stderr
    p = hub.fetch("vendor/line3-dfine", HF_TOKEN="hf_vendor")
    assert p.returncode == 0 and json.loads(metadata(hub.weights / "detect" / "dfine_m_coco.onnx")["quarn:source"])["repo_id"] == \
        "vendor/line3-dfine", p.stderr


def test_a_transfer_cut_short_resumes(hub, tmp_path):
    # the library keeps what it received in whole chunks of several MiB: a raw export padded past the first one
    model = onnx.load(build_raw(tmp_path / "big.onnx"))
    model.graph.initializer.append(onnx.numpy_helper.from_array(np.random.default_rng(0).integers(0, 256, 12 << 20, np.uint8), "pad"))
    raw = model.SerializeToString()
    hub.add(DEFAULT_REPO, {FILE: raw})
    hub.cut, hub.cut_at = 1, 0.95
    p = hub.fetch()
    if p.returncode != 0:  # huggingface_hub 1.x keeps the part in its cache, and the next run goes on from there
        assert len(p.stderr.splitlines()) == 1 and "run it again" in p.stderr, p.stderr
        assert files_in(hub.weights) in ([], ["detect"])
        p = hub.fetch()
    assert p.returncode == 0, p.stderr
    gets = [(path, ranged) for method, path, ranged in hub.requests if method == "GET"]
    assert [path for path, _ in gets] == [f"/{DEFAULT_REPO}/resolve/main/{FILE}"] * 2 and gets[0][1] is None
    start = int(gets[1][1].removeprefix("bytes=").removesuffix("-"))
    assert 0 < start <= len(raw) * 0.95  # the second request asks for the rest only
    assert metadata(hub.weights / "detect" / "dfine_m_coco.onnx")["quarn:sha256"] == hashlib.sha256(raw).hexdigest()


def classifier():
    graph = h.make_graph([h.make_node("ReduceMean", ["pixel_values"], ["logits"], axes=[2, 3], keepdims=0)], "classifier",
                         [h.make_tensor_value_info("pixel_values", T.FLOAT, [1, 3, 640, 640])],
                         [h.make_tensor_value_info("logits", T.FLOAT, [1, 3])])
    return h.make_model(graph, opset_imports=[h.make_opsetid("", 17)]).SerializeToString()


ADAPT_INSTEAD = "or copy the raw export to this machine and run: quarn-detect-model adapt FILE"


@pytest.mark.parametrize("case, args, env, words", [
    ("not a raw export", [], {}, (f"{DEFAULT_REPO}/{FILE} is not a raw D-FINE export: no box output",)),
    ("no repository", ["someone/nothing-ONNX"], {}, ("there is no repository someone/nothing-ONNX at http://127.0.0.1:",
                                                     "check the name (--list shows the published ones)")),
    ("no such file", ["--file", "onnx/model_fp16.onnx"], {}, (f"{DEFAULT_REPO} has no file onnx/model_fp16.onnx", "check --file")),
    ("no such revision", ["--revision", "v9"], {}, (f"{DEFAULT_REPO} has no revision 'v9'", "check --revision")),
    ("offline, nothing cached", [], {"HF_HUB_OFFLINE": "1"},
     ("HF_HUB_OFFLINE is set and the file is not in the hub cache", ADAPT_INSTEAD)),
])
def test_failures_are_one_line_and_write_nothing(hub, case, args, env, words):
    if case == "not a raw export":
        hub.add(DEFAULT_REPO, {FILE: classifier()})
    p = hub.fetch(*args, **env)
    assert p.returncode == 1 and p.stderr.startswith("quarn-detect-model: error: ") and len(p.stderr.splitlines()) == 1
    assert all(w in p.stderr for w in words), p.stderr
    assert files_in(hub.weights) in ([], ["detect"])


def test_list(hub):
    online = hub.fetch("--list")
    rows = {line.split()[0]: line for line in online.stdout.splitlines()}
    assert online.returncode == 0 and "as the hub at http://127.0.0.1:" in online.stdout
    assert f"{len(hub.raw) / 1e6:.1f} MB" in rows["dfine-m"] and "not on the hub" in rows["dfine-x-obj2coco"]
    offline = hub.fetch("--list", HF_HUB_OFFLINE="1")
    rows = {line.split()[0]: line for line in offline.stdout.splitlines()}
    assert "79 MB" in rows["dfine-m"] and "?" in rows["dfine-l-obj2coco"] and "HF_HUB_OFFLINE is set" in offline.stdout

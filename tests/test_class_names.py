"""Names files in every format, and the declaration a model carries: one reader for the command line and the tool."""

import importlib.util
import json
import os
import sys

import pytest

from quarn.inspection.detect import class_names

SITE = {0: "scratch", 1: "dent", 2: "burr"}
yaml = pytest.mark.skipif(importlib.util.find_spec("yaml") is None, reason="PyYAML is not installed")


@pytest.mark.parametrize("name, text, names", [
    ("site.txt", "scratch\r\ndent\r\nburr\r\n", SITE),
    ("site.names", "\ufeffscratch\n\n burr \n", {0: "scratch", 2: "burr"}),  # a blank line leaves its class unnamed
    pytest.param("data.yaml", "path: ../parts\nnc: 3\nnames: [scratch, dent, burr]\n", SITE, marks=yaml),
    pytest.param("data.yml", "names:\n  0: scratch\n  '2': burr\n", {0: "scratch", 2: "burr"}, marks=yaml),
    ("site.json", json.dumps(["scratch", "dent", "burr"]), SITE),
    ("site.JSON", json.dumps({"2": "burr", "0": "scratch"}), {0: "scratch", 2: "burr"}),
])
def test_formats(tmp_path, name, text, names):
    (tmp_path / name).write_bytes(text.encode())
    got = class_names.read_file(tmp_path / name)
    assert got == names
    # the declaration a model carries gives them back: a list for classes 0..n-1, else an object
    declared = class_names.declaration(got)
    assert class_names.parse_declaration(declared) == names and declared.startswith("[" if len(names) == 3 else "{")


@pytest.mark.parametrize("name, text, words", [
    ("cr.txt", "scratch\rdent\r", "line 1 holds a carriage return"),
    ("blank.txt", "\n \n", "the file holds no names"),
    ("latin1.txt", b"caf\xe9\n", "not UTF-8 text"),
    pytest.param("bool.yaml", "names: [scratch, no]\n", "the name of class 1 is not text (False); quote it", marks=yaml),
    pytest.param("none.yaml", "nc: 3\n", "no 'names:' entry", marks=yaml),
    pytest.param("deep.yaml", "names: " + "[" * 100000, "not valid YAML", marks=yaml),
    pytest.param("key.yaml", "names: {-1: scratch}\n", "-1 is not a class id", marks=yaml),
    ("twice.json", '{"0": "scratch", "0": "dent"}', "class id '0' is named twice"),
    ("alias.json", '{"1": "scratch", "01": "dent"}', "class id 1 is named twice"),
    ("negative.json", '{"-1": "scratch"}', "'-1' is not a class id"),
    ("numbers.json", "[1, 2]", "the name of class 0 is not text"),
    ("deep.json", "[" * 100000, "not valid JSON"),
    ("empty.json", "[]", "holds no names"),
])
def test_malformed_files_are_one_reason(tmp_path, name, text, words):
    (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(class_names.NamesError) as ei:
        class_names.read_file(tmp_path / name)
    assert words in str(ei.value) and "\n" not in str(ei.value)


def test_what_is_not_a_names_file_is_never_read(tmp_path, monkeypatch):
    os.mkfifo(tmp_path / "pipe.txt")  # no writer: a blocking read would wait for ever
    with pytest.raises(class_names.NamesError, match="not a regular file"):
        class_names.read_file(tmp_path / "pipe.txt")
    with open(tmp_path / "huge.txt", "wb") as f:
        f.truncate(class_names.MAX_FILE_BYTES + 1)  # sparse
    with pytest.raises(class_names.NamesError, match="at most 16 MiB"):
        class_names.read_file(tmp_path / "huge.txt")
    (tmp_path / "data.yaml").write_text("names: [a]\n")
    monkeypatch.setitem(sys.modules, "yaml", None)
    with pytest.raises(class_names.NamesError, match="needs PyYAML, which is not installed: pip install pyyaml"):
        class_names.read_file(tmp_path / "data.yaml")

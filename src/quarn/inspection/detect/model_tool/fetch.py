"""``quarn-detect-model fetch``: a published raw D-FINE export downloaded from the Hugging Face hub, adapted as
``adapt`` adapts a file, and installed with where it came from recorded in it.

The download is ``huggingface_hub``'s: it honours HF_ENDPOINT (a site's mirror), HF_TOKEN (a private
repository), HF_HUB_OFFLINE and the hub cache, shows a progress bar on a terminal and resumes a transfer
that breaks off.  What it downloads is read from the cache; the cache itself is the library's.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import re
import sys
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any

from quarn.inspection.detect import class_names
from quarn.inspection.detect.contract import COMPONENT, DEFAULT_MODEL, NAMES_KEY
from quarn.inspection.detect.model_tool.adapt import Job, Names, add_names_option, convert
from quarn.inspection.detect.model_tool.errors import PROG, Refused, import_onnx, printable
from quarn.inspection.detect.model_tool.reading import read_model
from quarn.inspection.detect.model_tool.writing import check_target, default_target

SOURCE_KEY = "quarn:source"  # JSON: repo_id, filename and the commit the download resolved to
SHA256_KEY = "quarn:sha256"  # of the raw file as downloaded
DEFAULT_FILE = "onnx/model.onnx"
MISSING_HUB = f'{PROG} fetch needs the huggingface_hub package, which is not installed. Install it with: pip install "quarn[model]"'
_ADAPT_INSTEAD = "or copy the raw export to this machine and run: quarn-detect-model adapt FILE"
_SIZES = {"n": "D-FINE-N (nano)", "s": "D-FINE-S (small)", "m": "D-FINE-M (medium)", "l": "D-FINE-L (large)",
          "x": "D-FINE-X (extra large)"}
_DATASETS = {"coco": "trained on COCO", "obj2coco": "pretrained on Objects365, fine-tuned on COCO"}


@dataclass(frozen=True)
class Published:
    """One raw D-FINE export that onnx-community publishes on the hub."""

    size: str  # n, s, m, l, x
    dataset: str  # coco, obj2coco
    # Bytes of onnx/model.onnx at one published revision, as recorded by public manifests that pin the file by
    # SHA-256; None where none was found.  Only --list shows it; online, --list asks the hub instead.
    known_bytes: int | None

    @property
    def name(self) -> str:
        return f"dfine-{self.size}" if self.dataset == "coco" else f"dfine-{self.size}-{self.dataset}"

    @property
    def repo_id(self) -> str:
        return f"onnx-community/dfine_{self.size}_{self.dataset}-ONNX"

    @property
    def install_name(self) -> str:
        return f"dfine_{self.size}_{self.dataset}.onnx"

    @property
    def what(self) -> str:
        return f"{_SIZES[self.size]}, {_DATASETS[self.dataset]} (80 classes)"


PUBLISHED = (
    Published("n", "coco", 15_258_358),
    Published("s", "coco", 41_535_197),
    Published("m", "coco", 78_624_257),
    Published("l", "coco", 125_348_332),
    Published("x", "coco", 251_138_448),
    Published("s", "obj2coco", 41_535_197),
    Published("m", "obj2coco", 78_624_257),
    Published("l", "obj2coco", None),
    Published("x", "obj2coco", 251_138_448),
)
DEFAULT = next(p for p in PUBLISHED if p.install_name == DEFAULT_MODEL)
_BY_NAME = {key: p for p in PUBLISHED for key in (p.name, f"dfine-{p.size}-{p.dataset}", p.repo_id)}


def add_parser(sub: Any) -> None:
    names = ", ".join(p.name for p in PUBLISHED)
    f = sub.add_parser(
        "fetch",
        help="download a published raw D-FINE export from the Hugging Face hub, adapt it and install it",
        description="Download a raw D-FINE ONNX export from the Hugging Face hub (huggingface_hub: HF_ENDPOINT,"
        " HF_TOKEN, HF_HUB_OFFLINE and its cache apply), adapt it as 'adapt' does and install it, recording the"
        " repository, file, revision and SHA-256 in the model. Without arguments: D-FINE-M trained on COCO"
        f" ({DEFAULT.repo_id}), installed as the default model {COMPONENT}/{DEFAULT_MODEL}. Run again, it says"
        " when the installed model is already this file.",
    )
    f.add_argument("model", nargs="?", metavar="REPO_ID|NAME",
                   help=f"a hub repository (OWNER/NAME), or one of {names} (-coco also accepted); published ones"
                   f" install as {COMPONENT}/dfine_<size>_<dataset>.onnx, others as the default model")
    f.add_argument("--file", default=DEFAULT_FILE, metavar="PATH_IN_REPO", help="the file in the repository (default: %(default)s)")
    f.add_argument("--revision", metavar="REV", help="a branch, tag or commit (default: the repository's main branch)")
    f.add_argument("-o", "--output", type=Path, metavar="OUT.onnx", help="write here instead of installing")
    f.add_argument("--force", action="store_true", help="replace an existing output file, also one of the same download")
    add_names_option(f)
    f.add_argument("--list", action="store_true", help="list the published exports with their sizes and exit")
    f.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    if args.list:
        list_published(sys.stdout)
        return
    fetch(args.model, args.file, args.revision, args.output, args.force, args.names)


def resolve(model: str | None) -> tuple[str, str]:
    """The repository id to download from, and the name to install under."""
    if model is None:
        return DEFAULT.repo_id, DEFAULT.install_name
    published = _BY_NAME.get(model)
    if published is not None:
        return published.repo_id, published.install_name
    if re.fullmatch(r"[\w.-]+/[\w.-]+", model):
        return model, DEFAULT_MODEL
    names = ", ".join(p.name for p in PUBLISHED)
    raise Refused(f"{model!r} is neither a repository id (OWNER/NAME) nor one of {names}; see --list")


def fetch(model: str | None, file: str, revision: str | None, output: Path | None, force: bool,
          names_file: Path | None, out: Any = None) -> Path:
    """Download, check and install one raw export; the path written, or the installed file when it already is this one."""
    out = sys.stdout if out is None else out
    onnx = import_onnx()
    hub = _import_hub()
    names = Names.read(names_file)
    repo_id, install_name = resolve(model)
    target = output if output is not None else default_target(install_name)
    check_target(target, {}, force=True)  # a link, folder or device there is refused before a long download
    print(printable(f"fetching {file} from {repo_id}" + (f" at {revision}" if revision else "")
                    + f" ({hub.constants.ENDPOINT})"), file=out)
    path = Path(_download(hub, repo_id, file, revision))
    data, source_id = read_model(path)
    sha256 = hashlib.sha256(data).hexdigest()
    _check_digest(path, sha256, repo_id, file)
    commit = _commit(path, file)
    print(f"  revision {commit}", file=out)
    print(f"  sha256 {sha256} (compare with the file's page on the hub)", file=out)
    source = json.dumps({"repo_id": repo_id, "filename": file, "revision": commit})
    if not force:
        same = _same_install(onnx, target, repo_id, file, sha256, names)
        if same:
            print(printable(f"{target} already holds this download{same}; nothing to do (--force installs it again)"), file=out)
            return target
    job = Job(data, source_id, path, f"{repo_id}/{file}", names, {SOURCE_KEY: source, SHA256_KEY: sha256})
    return convert(onnx, job, target, force, output is None, out)


def _import_hub() -> Any:
    try:
        import huggingface_hub
        import huggingface_hub.constants
        import huggingface_hub.errors
    except ImportError as exc:
        raise Refused(MISSING_HUB) from exc
    return huggingface_hub


def _first_line(exc: BaseException) -> str:
    text = next((line.strip() for line in str(exc).splitlines() if line.strip()), "")
    return text or type(exc).__name__


def _download(hub: Any, repo_id: str, file: str, revision: str | None) -> str:
    """The raw export in the hub cache, downloaded when it is not there; every failure is one line that says what to do."""
    errors, endpoint = hub.errors, hub.constants.ENDPOINT
    try:
        return str(hub.hf_hub_download(repo_id, file, revision=revision))
    except errors.LocalEntryNotFoundError as exc:  # before EntryNotFoundError, which it is too
        if hub.constants.HF_HUB_OFFLINE:
            why = "HF_HUB_OFFLINE is set and the file is not in the hub cache"
            todo = "run it where the hub can be reached, " + _ADAPT_INSTEAD
        else:
            cause = exc.__cause__ or exc.__context__
            why = f"the hub at {endpoint} cannot be reached" + (f" ({_first_line(cause)})" if cause else "")
            todo = "check the network and HF_ENDPOINT, " + _ADAPT_INSTEAD
    except errors.GatedRepoError:
        why, todo = f"{repo_id} is gated", "accept its terms on the hub and set HF_TOKEN to a token of that account"
    except errors.RepositoryNotFoundError:
        why = f"there is no repository {repo_id} at {endpoint}, or it is private"
        todo = "check the name (--list shows the published ones); for a private one set HF_TOKEN"
    except errors.RevisionNotFoundError:
        why, todo = f"{repo_id} has no revision {revision!r}", "check --revision"
    except errors.EntryNotFoundError:
        why = f"{repo_id} has no file {file}" + (f" at {revision}" if revision else "")
        todo = "check --file (the path of the file inside the repository)"
    except Exception as exc:  # HTTP errors, a full disk, a broken transfer: the library's words, first line
        why, todo = _first_line(exc), "run it again, " + _ADAPT_INSTEAD
    where = f"{file} of {repo_id}" + (f" at {revision}" if revision else "")
    raise Refused(f"cannot download {where}: {why}; {todo}")


def _commit(path: Path, file: str) -> str:
    """The commit the download resolved to: the cache keeps each file under snapshots/<commit>/<file>."""
    snapshot = path.parents[len(PurePosixPath(file).parts) - 1].name
    return snapshot if re.fullmatch(r"[0-9a-f]{40}", snapshot) else "unknown"


def _check_digest(path: Path, sha256: str, repo_id: str, file: str) -> None:
    """Refuse a cached file whose content is not what the hub said: the cache names a large file's blob by its SHA-256."""
    blob = path.resolve()
    if re.fullmatch(r"[0-9a-f]{64}", blob.name) and blob.name != sha256:
        raise Refused(f"the cached download of {file} from {repo_id} is damaged: its SHA-256 is {sha256}, the hub's"
                      f" is {blob.name}; delete {blob} and run again")


def _same_install(onnx: Any, target: Path, repo_id: str, file: str, sha256: str, names: Names) -> str:
    """', installed from <revision>' when ``target`` is this download adapted (with the same names if given); else ''."""
    try:
        if not target.is_file() or target.is_symlink():
            return ""
        data, _ = read_model(target)
        meta = {p.key: p.value for p in onnx.load_model_from_string(data).metadata_props}
        source = json.loads(meta.get(SOURCE_KEY, "{}"))
    except Exception:  # unreadable, or not a model: check_target decides what to say
        return ""
    if not isinstance(source, dict) or (source.get("repo_id"), source.get("filename"), meta.get(SHA256_KEY)) != (
            repo_id, file, sha256):
        return ""
    if names.names is not None:
        try:
            if class_names.parse_declaration(meta.get(NAMES_KEY, "")) != names.names:
                return ""
        except class_names.NamesError:
            return ""
    return f" (installed from revision {source.get('revision')})"


def list_published(out: Any) -> None:
    """The published exports, with sizes from the hub when it answers, else from the table."""
    sizes, said = _hub_sizes()
    rows = [("NAME", "SIZE", "REPOSITORY", "WHAT")]
    for p in PUBLISHED:
        size = sizes.get(p.repo_id, p.known_bytes) if sizes is not None else p.known_bytes
        shown = (f"{size / 1e6:.{0 if size >= 10**7 else 1}f} MB" if isinstance(size, int) else size) or "?"
        rows.append((p.name + (" *" if p is DEFAULT else ""), shown, p.repo_id, p.what))
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    for row in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row[:3], widths)) + "  " + row[3], file=out)
    print(f"* the default model, installed as {COMPONENT}/{DEFAULT_MODEL}; the others install as"
          f" {COMPONENT}/dfine_<size>_<dataset>.onnx and are used with quarn-detect -m NAME.onnx", file=out)
    print(printable(f"sizes of {DEFAULT_FILE}: {said}"), file=out)


def _hub_sizes() -> tuple[dict[str, int | str | None] | None, str]:
    """Each repository's size of the default file as the hub reports it, or None and why the table is used."""
    table = "from the built-in table (the size at one published revision; ? where it is not known)"
    try:
        hub = _import_hub()
    except Refused:
        return None, f"{table}; huggingface_hub is not installed"
    if hub.constants.HF_HUB_OFFLINE:
        return None, f"{table}; HF_HUB_OFFLINE is set"
    api, sizes = hub.HfApi(), {}
    for p in PUBLISHED:
        try:
            info = api.model_info(p.repo_id, files_metadata=True)
        except hub.errors.RepositoryNotFoundError:
            sizes[p.repo_id] = "not on the hub"
            continue
        except Exception as exc:  # the hub does not answer: the table, for all of them
            return None, f"{table}; the hub at {hub.constants.ENDPOINT} did not answer ({_first_line(exc)})"
        sibling = next((s for s in info.siblings or () if s.rfilename == DEFAULT_FILE), None)
        sizes[p.repo_id] = sibling.size if sibling is not None and sibling.size is not None else f"no {DEFAULT_FILE}"
    return sizes, f"as the hub at {hub.constants.ENDPOINT} reports them"

"""``quarn-detect-model adapt``: a raw D-FINE export turned into the model the detector loads, and installed."""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from quarn import weights
from quarn.inspection.detect import _files, class_names
from quarn.inspection.detect.contract import CLASSES_KEY, COCO80, COCO_CLASSES, COMPONENT, DEFAULT_MODEL, NAMES_KEY, TOP_K
from quarn.inspection.detect.model_tool.errors import PROG, Refused, import_onnx, printable
from quarn.inspection.detect.model_tool.graph import adapt_model
from quarn.inspection.detect.model_tool.raw import RawLayout, inspect_raw
from quarn.inspection.detect.model_tool.reading import load_external_data, read_model
from quarn.inspection.detect.model_tool.writing import check_target, default_target, write_atomically

def add_parser(sub: Any) -> None:
    a = sub.add_parser(
        "adapt",
        help="turn a raw D-FINE ONNX export (pixel_values -> logits, pred_boxes) into the detector's model",
        description="Append D-FINE's post-processing to a raw ONNX export (pixel_values -> logits, pred_boxes) so"
        " that the detector can load it. Without -o the result is installed as the default model,"
        f" {COMPONENT}/{DEFAULT_MODEL} under the first model folder ({weights.ENV_VAR} or the per-user folder).",
    )
    a.add_argument("source", type=Path, metavar="IN.onnx", help="the raw export")
    a.add_argument("-o", "--output", type=Path, metavar="OUT.onnx", help="write here instead of installing")
    a.add_argument("--force", action="store_true", help="replace an existing output file")
    add_names_option(a)
    a.set_defaults(run=run)


def add_names_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--names", type=Path, metavar="FILE",
        help="the model's class names, written into it so that they travel with the file: one per line (line k"
        " names class k), a YAML file with a 'names:' list or id-to-name mapping (data.yaml), or a JSON list or"
        " object; without it an 80-class model gets the 80 COCO names")


def run(args: argparse.Namespace) -> None:
    adapt(args.source, args.output, args.force, names_file=args.names)


@dataclass
class Names:
    """The class names to write into the model, and the file they come from."""

    names: dict[int, str] | None = None
    file: Path | None = None

    @classmethod
    def read(cls, path: Path | None) -> Names:
        if path is None:
            return cls()
        try:
            return cls(class_names.read_file(path), path)
        except OSError as exc:
            raise Refused(f"cannot read the names file {path}: {exc.strerror or exc}") from None
        except class_names.NamesError as exc:
            raise Refused(f"names file {path}: {exc}") from None


@dataclass
class Job:
    """One adaptation: the raw bytes read, where they came from, and what the output should say about itself."""

    data: bytes
    source_id: tuple[int, int]
    source: Path  # the file read
    label: str  # how messages name the input
    names: Names = field(default_factory=Names)
    metadata: dict[str, str] = field(default_factory=dict)  # what the output records beyond the adaptation


def adapt(source: Path, output: Path | None, force: bool, out: Any = None, names_file: Path | None = None) -> Path:
    """Adapt the raw export ``source``; write it to ``output`` or install it as the default model."""
    onnx = import_onnx()
    names = Names.read(names_file)
    target = output if output is not None else default_target()
    data, source_id = read_model(source)
    return convert(onnx, Job(data, source_id, source, str(source), names), target, force, output is None, out)


def convert(onnx: Any, job: Job, target: Path, force: bool, installed: bool, out: Any = None) -> Path:
    """Append the post-processing to the raw export in ``job``, check the result, and write it to ``target``."""
    out = sys.stdout if out is None else out
    model, inputs = _load(onnx, job)
    check_target(target, inputs, force)  # before the trial run, which takes a while
    try:
        layout = inspect_raw(model)
    except Refused as exc:
        raise Refused(f"{job.label} is not a raw D-FINE export: {exc}") from None
    written, said = _names(model, layout, job.names)
    adapt_model(model, layout, job.source.name, {**job.metadata, **written, CLASSES_KEY: str(layout.classes)})
    try:
        payload = model.SerializeToString()
        onnx.checker.check_model(payload)  # the bytes: checking the proto would serialise it once more
    except Exception as exc:  # the adapted graph must be sound (and fit one file) before it is installed
        raise Refused(f"{job.label}: the adapted graph does not check: {exc}") from exc
    check_target(target, inputs, force)  # again: the trial run takes a while
    _install(payload, target, force, out)
    _tell(out, job, target, layout, onnx.helper.tensor_dtype_to_np_dtype(layout.image_elem), installed, said)
    return target


def _load(onnx: Any, job: Job) -> tuple[Any, dict[tuple[int, int], str]]:
    """The model in ``job`` with its external data inside it; the files read, which the output may not replace."""
    inputs = {job.source_id: "the input file"}
    try:
        model = onnx.load_model_from_string(job.data)
    except Exception as exc:  # protobuf's and onnx's errors alike: the file is not a model
        raise Refused(f"{job.label} is not an ONNX model: {exc}") from exc
    try:
        for ident in load_external_data(model, job.source.parent):
            inputs.setdefault(ident, "a file the input's tensors are stored in")
    except Refused as exc:
        raise Refused(f"{job.label}: {exc}") from None
    return model, inputs


def _names(model: Any, layout: RawLayout, names: Names) -> tuple[dict[str, str], str]:
    """The names declaration to write (the names file's; none where the export declares its own; COCO's for an
    80-class model), and what to say about the names."""
    if names.names is not None:
        ids = sorted(names.names)
        if len(ids) != layout.classes or ids[-1] >= layout.classes:
            beyond = f" (ids up to {ids[-1]})" if ids[-1] >= layout.classes else ""
            print(printable(f"{PROG}: warning: {names.file} gives {len(ids)} names{beyond}, but the model has"
                            f" {layout.classes} classes"), file=sys.stderr)
        return {NAMES_KEY: class_names.declaration(names.names)}, f"{len(ids)} from {names.file}, written into the model"
    own = next((p.value for p in model.metadata_props if p.key == NAMES_KEY), None)
    if own is not None:
        try:
            return {}, f"{len(class_names.parse_declaration(own))} as the export declares them"
        except class_names.NamesError as exc:
            print(printable(f"{PROG}: warning: the export's '{NAMES_KEY}' metadata is malformed ({exc}); give the"
                            " names with --names FILE"), file=sys.stderr)
    if layout.classes != COCO_CLASSES:
        return {}, ""
    return {NAMES_KEY: class_names.declaration(dict(enumerate(COCO80)))}, f"the {COCO_CLASSES} COCO names, written into the model"


def _install(payload: bytes, target: Path, force: bool, out: Any) -> None:
    try:
        removed = _files.sweep(target.parent)
        if removed:
            names = ", ".join(p.name for p in removed)
            print(printable(f"note: removed {names} in {target.parent}, left by a run that was killed"), file=out)
        write_atomically(payload, target, force)
    except OSError as exc:  # read-only folder, full disk, no permission: the part file is gone already
        raise Refused(f"cannot write {target}: {exc.strerror or exc}") from None


def _tell(out: Any, job: Job, target: Path, layout: RawLayout, elem: Any, installed: bool, names: str) -> None:
    k = min(TOP_K, layout.queries * layout.classes)
    print(printable(f"{job.label} -> {target}"), file=out)
    print(printable(f"  images {elem} (was {layout.image}), {layout.queries} queries x {layout.classes} classes, top {k}"), file=out)
    if names:
        print(printable(f"  class names: {names}"), file=out)
    else:
        print(
            f"note: the model has {layout.classes} classes, not COCO's {COCO_CLASSES}, and no names were given: the"
            f" detector names labels from COCO80, and labels from {COCO_CLASSES} on print as numbers; give the"
            " model's names with --names FILE",
            file=out,
        )
    if installed:
        name = target.name
        use = "quarn-detect uses it without --model" if name == DEFAULT_MODEL else f"use it with: quarn-detect -m {name}"
        what = "the default model" if name == DEFAULT_MODEL else "a model"
        print(printable(f"  installed as {what} ({COMPONENT}/{name}); {use}"), file=out)

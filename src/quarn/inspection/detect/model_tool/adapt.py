"""``quarn-detect-model adapt``: a raw D-FINE export turned into the model the detector loads, and installed."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from quarn import weights
from quarn.inspection.detect import _files
from quarn.inspection.detect.contract import COCO_CLASSES, COMPONENT, DEFAULT_MODEL, TOP_K
from quarn.inspection.detect.model_tool.errors import Refused, import_onnx, printable
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
    a.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    adapt(args.source, args.output, args.force)


def adapt(source: Path, output: Path | None, force: bool, out: Any = None) -> Path:
    """Adapt the raw export ``source``; write it to ``output`` or install it as the default model."""
    out = sys.stdout if out is None else out
    onnx = import_onnx()
    target = output if output is not None else default_target()
    model, inputs = _load(onnx, source)
    check_target(target, inputs, force)  # before the trial run, which takes a while
    try:
        layout = inspect_raw(model)
    except Refused as exc:
        raise Refused(f"{source} is not a raw D-FINE export: {exc}") from None
    adapt_model(model, layout, source.name)
    try:
        onnx.checker.check_model(model)
        payload = model.SerializeToString()
    except Exception as exc:  # the adapted graph must be sound (and fit one file) before it is installed
        raise Refused(f"{source}: the adapted graph does not check: {exc}") from exc
    check_target(target, inputs, force)  # again: the trial run takes a while
    _install(payload, target, force, out)
    _tell(out, source, target, layout, onnx.helper.tensor_dtype_to_np_dtype(layout.image_elem), output is None)
    return target


def _load(onnx: Any, source: Path) -> tuple[Any, dict[tuple[int, int], str]]:
    """The model in ``source`` with its external data inside it; the files read, which the output may not replace."""
    data, source_id = read_model(source)
    inputs = {source_id: "the input file"}
    try:
        model = onnx.load_model_from_string(data)
    except Exception as exc:  # protobuf's and onnx's errors alike: the file is not a model
        raise Refused(f"{source} is not an ONNX model: {exc}") from exc
    del data
    try:
        for ident in load_external_data(model, source.parent):
            inputs.setdefault(ident, "a file the input's tensors are stored in")
    except Refused as exc:
        raise Refused(f"{source}: {exc}") from None
    return model, inputs


def _install(payload: bytes, target: Path, force: bool, out: Any) -> None:
    try:
        removed = _files.sweep(target.parent)
        if removed:
            names = ", ".join(p.name for p in removed)
            print(printable(f"note: removed {names} in {target.parent}, left by a run that was killed"), file=out)
        write_atomically(payload, target, force)
    except OSError as exc:  # read-only folder, full disk, no permission: the part file is gone already
        raise Refused(f"cannot write {target}: {exc.strerror or exc}") from None


def _tell(out: Any, source: Path, target: Path, layout: RawLayout, elem: Any, installed: bool) -> None:
    k = min(TOP_K, layout.queries * layout.classes)
    print(printable(f"{source} -> {target}"), file=out)
    print(printable(f"  images {elem} (was {layout.image}), {layout.queries} queries x {layout.classes} classes, top {k}"), file=out)
    if layout.classes != COCO_CLASSES:
        print(
            f"note: the model has {layout.classes} classes, not COCO's {COCO_CLASSES}; the detector names labels"
            f" from COCO80, and labels from {COCO_CLASSES} on print as numbers",
            file=out,
        )
    if installed:
        print(f"  installed as the default model ({COMPONENT}/{DEFAULT_MODEL}); quarn-detect uses it without --model", file=out)

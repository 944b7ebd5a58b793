"""The model: loaded once, checked against what ``detect`` feeds and reads, its class names and weights told."""

from __future__ import annotations

import dataclasses
import errno
import os
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect import class_names, contract
from quarn.inspection.detect.cli.errors import ModelError
from quarn.inspection.detect.cli.names import shown

if TYPE_CHECKING:
    from quarn.inspection.detect.dfine_runner import Detection, DfineDetector

COCO80_SOURCE = "the module (COCO80)"
METADATA_SOURCE = "the model's metadata"
# What detect feeds: input name -> (element types, rank, sizes of the last axes); and the outputs it reads, in order
# with their ranks.  An empty shape means the model does not say, and passes.
_INPUTS = {t.name: (tuple(e.ort for e in t.elements), t.rank, t.dims) for t in contract.INPUTS}
_OUTPUTS = contract.OUTPUT_NAMES
_OUTPUT_RANKS = {t.name: t.rank for t in contract.OUTPUTS}


@dataclass
class Model:
    detector: DfineDetector
    names: dict[int, str]  # the names shown: a --names file's, else the detector's own, printable
    names_from: str
    untrained: bool
    classes: int | None = None  # the class count the model's metadata records, when it does
    names_note: str = ""  # why the model's own declaration is not in use, when it declares names

    def named(self, found: list[Detection]) -> list[Detection]:
        """``found`` with the class names this command shows; the module's records keep their own names."""
        names = self.names
        return [d if names.get(d.cls_id) == d.cls_name else
                dataclasses.replace(d, cls_name=names.get(d.cls_id, str(d.cls_id))) for d in found]

    def names_warning(self) -> str:
        """What is wrong with the names shown for this model's classes; '' when nothing is, or the count is unknown."""
        if self.classes is None:
            return ""
        if self.names_from == COCO80_SOURCE and self.classes != contract.COCO_CLASSES:
            return (f"the model has {self.classes} classes, not COCO's {contract.COCO_CLASSES}, and declares no names: "
                    "its labels are named from COCO80; give its names with --names FILE, or write them into the "
                    "model with quarn-detect-model adapt --names FILE")
        if len(self.names) != self.classes:
            return f"{len(self.names)} class names from {self.names_from}, but the model has {self.classes} classes"
        return ""


def _model_error(model: str, exc: BaseException) -> str:
    msg = str(exc)
    if Path(model).name == model and not model.startswith("~") and os.path.isfile(model):
        # bare names are searched in the model folders only, which surprises people
        msg += f" A file {model!r} is in the current folder: pass ./{model} to use it."
    return msg


def _load(model: str, device: str | None) -> tuple[DfineDetector | None, str]:
    """The shared detector, or None and a one-line reason."""
    from quarn.inspection.detect import dfine_runner as dr

    try:
        return dr.get_detector(model, device), ""
    except dr.DetectError as exc:
        return None, _model_error(model, exc)
    except Exception as exc:  # ONNX Runtime's own errors for a damaged or foreign model file
        why, said = _unreadable(model, exc), f"{type(exc).__name__}: {exc}"
        return None, f"cannot load model {model!r}: " + (f"{why} ({said})" if why else said)


def _unreadable(model: str, exc: Exception) -> str:
    """Why the model file could not be read, in plain words, when a system error stopped ONNX Runtime; else ''."""
    from quarn import weights

    try:
        path = os.path.abspath(weights.model_path(contract.COMPONENT, model))
    except (OSError, ValueError):
        return ""
    code = re.search(r"system error number (\d+)", str(exc))  # ONNX Runtime's words for an errno
    number = int(code.group(1)) if code else None
    if number is None:
        try:
            os.close(os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)))
        except OSError as err:
            number = err.errno
    if number in (errno.EACCES, errno.EPERM):
        return f"permission denied: this user cannot read {path}"
    return f"{path}: {os.strerror(number).lower()}" if number else ""


def contract_problems(session: Any) -> list[str]:
    """What in the model's inputs and outputs breaks what ``detect`` feeds and reads; empty when none."""
    try:
        inputs = {arg.name: arg for arg in session.get_inputs()}
        output_args = list(session.get_outputs())
        outputs = [arg.name for arg in output_args]
    except Exception as exc:  # a session without ONNX Runtime's introspection cannot be checked
        return [f"cannot read the model's inputs and outputs ({exc})"]
    problems = [p for name, want in _INPUTS.items() for p in _input_problems(name, inputs.get(name), *want)]
    problems += _name_problems(list(inputs), outputs)
    if not problems:
        problems += _output_problems(output_args)
    if problems:
        inputs_text = ", ".join(f"{a.name} {a.type} {list(a.shape or [])}" for a in inputs.values())
        problems.append(f"the model has inputs {inputs_text or 'none'}")
    return problems


def _input_problems(name: str, arg: Any, types: Sequence[str], rank: int, tail: Sequence[int]) -> list[str]:
    if arg is None:
        return [f"no input {name!r}"]
    problems = []
    if arg.type not in types:
        problems.append(f"input {name!r} is {arg.type}, not {' or '.join(types)}")
    shape = list(arg.shape or [])
    if shape and len(shape) != rank:
        problems.append(f"input {name!r} has rank {len(shape)}, not {rank}")
    elif shape and any(isinstance(got, int) and got != want for got, want in zip(shape[-len(tail):], tail)):
        problems.append(f"input {name!r} has shape {shape}, not [1, {', '.join(map(str, tail))}]")
    return problems


def _name_problems(inputs: Sequence[str], outputs: Sequence[str]) -> list[str]:
    problems = []
    extra = [name for name in inputs if name not in _INPUTS]
    if extra:
        problems.append(f"unexpected input{'s' if len(extra) > 1 else ''} {', '.join(map(repr, extra))}")
    if tuple(outputs) != _OUTPUTS:
        problems.append(f"outputs are {', '.join(map(repr, outputs)) or 'none'}, "
                        f"not {', '.join(map(repr, _OUTPUTS))} in this order")
    return problems


def _output_problems(outputs: Sequence[Any]) -> list[str]:
    problems = []
    for arg in outputs:
        shape, rank = list(arg.shape or []), _OUTPUT_RANKS[arg.name]
        if shape and len(shape) != rank:
            problems.append(f"output {arg.name!r} has rank {len(shape)}, not {rank}")
    return problems


def _metadata(session: Any) -> dict[str, str]:
    try:
        return dict(session.get_modelmeta().custom_metadata_map)
    except Exception:  # a session without metadata has none to offer
        return {}


def open_model(model: str, device: str | None, names: dict[int, str] | None, names_file: Path | None,
               warn: Callable[[str], None]) -> Model:
    """Load the detector once and check it fits, before any input is read."""
    detector, problem = _load(model, device)
    if detector is None:
        raise ModelError(problem)
    problems = contract_problems(detector.session)
    if problems:
        raise ModelError(f"model {model!r} does not fit the detector: {'; '.join(problems)}", detector)
    meta = _metadata(detector.session)
    untrained = meta.get(contract.WEIGHTS_KEY, "").strip().lower() == "untrained"
    if untrained:
        warn(f"WARNING: model {model!r} has UNTRAINED (random) weights: "
             "its detections mean nothing. Use it to test the set-up only.")
    found = Model(detector, names if names is not None else shown(detector.names),
                  str(names_file) if names is not None else COCO80_SOURCE, untrained, _classes(meta.get(contract.CLASSES_KEY)))
    if contract.NAMES_KEY in meta:
        _declared(found, meta[contract.NAMES_KEY])
    warning = found.names_warning()
    if warning:
        warn(f"warning: {warning}")
    return found


def _classes(text: str | None) -> int | None:
    return int(text) if text is not None and text.isascii() and text.isdigit() and len(text) < 10 else None


def _declared(found: Model, text: str) -> None:
    """Where the detector's names come from when the model declares its own (the module builds them from it)."""
    try:
        declared = class_names.parse_declaration(text)
    except class_names.NamesError as exc:
        found.names_note = f"its '{contract.NAMES_KEY}' metadata is malformed ({exc}) and not used"
        return
    if found.detector.names == declared:
        if found.names_from == COCO80_SOURCE:
            found.names_from = METADATA_SOURCE
    else:
        found.names_note = f"its '{contract.NAMES_KEY}' metadata is not used by this build of the module"

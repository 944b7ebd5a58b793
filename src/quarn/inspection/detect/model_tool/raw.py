"""A raw D-FINE export recognised: its image input and its two outputs found, and their sizes learnt by a trial run."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from quarn.inspection.detect import contract
from quarn.inspection.detect.contract import INPUT_NAMES, INPUT_SIZE, OUTPUT_NAMES, RAW_BOXES, RAW_IMAGE, RAW_LOGITS
from quarn.inspection.detect.model_tool.errors import Refused
from quarn.inspection.detect.model_tool.probe import probe_shapes

MIN_OPSET = 11  # TopK with a K input and the largest/sorted attributes, GatherElements
_PAIR = "are not float [B, Q, C] and [B, Q, 4]"


@dataclass
class RawLayout:
    """Where the parts of a raw export are and how big they are."""

    image: str
    logits: str
    boxes: str
    queries: int
    classes: int
    image_elem: int
    logits_elem: int
    boxes_elem: int
    batch: Any  # the batch dimension as the graph declares it: an int or a symbolic name


def _dims(value_info: Any) -> list[int | str | None] | None:
    """The declared shape of a graph input or output: ints, symbolic names or None; None when unranked."""
    tensor = value_info.type.tensor_type
    if not tensor.HasField("shape"):
        return None
    out: list[int | str | None] = []
    for d in tensor.shape.dim:
        if d.HasField("dim_value"):
            out.append(d.dim_value)
        elif d.HasField("dim_param"):
            out.append(d.dim_param)
        else:
            out.append(None)
    return out


def _fits(dim: int | str | None, want: int) -> bool:
    return not isinstance(dim, int) or dim == want


def _pick(named: str, candidates: list[Any], what: str, test: Any) -> Any:
    """The value called ``named``; else the only candidate that ``test`` accepts."""
    for v in candidates:
        if v.name == named:
            return v
    fitting = [v for v in candidates if test(v)]
    if len(fitting) != 1:
        found = ", ".join(f"{v.name} {_dims(v)}" for v in candidates) or "none"
        raise Refused(f"no {what} (named {named!r}, or the only one of its shape) among: {found}")
    return fitting[0]


def _is_float(v: Any) -> bool:
    from onnx import TensorProto

    return v.type.tensor_type.elem_type in (TensorProto.FLOAT, TensorProto.FLOAT16, TensorProto.BFLOAT16,
                                            TensorProto.DOUBLE)


def _is_image(v: Any) -> bool:
    # the graph's image input becomes the detector's: the same element types, rank and planes
    wanted = contract.IMAGES
    d = _dims(v)
    elem = v.type.tensor_type.elem_type
    return elem in {e.onnx for e in wanted.elements} and d is not None and len(d) == wanted.rank and _fits(d[1], wanted.dims[0])


def _rank3(v: Any) -> bool:
    d = _dims(v)
    return _is_float(v) and d is not None and len(d) == 3


def _box_like(v: Any) -> bool:
    d = _dims(v)
    return _rank3(v) and d is not None and _fits(d[2], 4)


def inspect_raw(model: Any) -> RawLayout:
    """Find the image input and the two outputs of a raw D-FINE export; refuse anything else."""
    _check_form(model)
    image = _image_input(model.graph)
    logits, boxes = _declared_outputs(model.graph)
    lshape, _ = _computed_outputs(model, image, logits, boxes)
    return RawLayout(
        image=image.name,
        logits=logits.name,
        boxes=boxes.name,
        queries=lshape[1],
        classes=lshape[2],
        image_elem=image.type.tensor_type.elem_type,
        logits_elem=logits.type.tensor_type.elem_type,
        boxes_elem=boxes.type.tensor_type.elem_type,
        batch=(_dims(logits) or [None])[0],
    )


def _check_form(model: Any) -> None:
    """Refuse a model already in the detector's form, or one whose opset lacks the operators the post-processing uses."""
    graph = model.graph
    opset = next((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), 0)
    names_in = {i.name for i in graph.input}
    names_out = {o.name for o in graph.output}
    if set(INPUT_NAMES) <= names_in or set(OUTPUT_NAMES) <= names_out:
        raise Refused("it already has the detector's inputs and outputs (images, orig_target_sizes -> labels, boxes, scores)")
    if opset < MIN_OPSET:
        raise Refused(f"its opset is {opset}; at least {MIN_OPSET} is needed")


def _image_input(graph: Any) -> Any:
    """The one input a raw export takes: a float32 or float16 image [1, 3, 640, 640]."""
    initialised = {t.name for t in graph.initializer}
    inputs = [i for i in graph.input if i.name not in initialised]
    image = _pick(RAW_IMAGE, inputs, "image input", _is_image)
    if len(inputs) != 1:
        names_in = ", ".join(i.name for i in graph.input)
        raise Refused(f"it takes {len(inputs)} inputs ({names_in}); a raw export takes the image only")
    d = _dims(image)
    if not _is_image(image) or not all(_fits(x, n) for x, n in zip(d or [], (1, 3, INPUT_SIZE, INPUT_SIZE))):
        raise Refused(f"its input {image.name} is {d}, not a float32 or float16 image [1, 3, {INPUT_SIZE}, {INPUT_SIZE}]")
    return image


def _declared_outputs(graph: Any) -> tuple[Any, Any]:
    """The class logit and box outputs, as far as their declarations tell them apart and allow them."""
    outputs = list(graph.output)
    boxes = _pick(RAW_BOXES, outputs, "box output [B, Q, 4]", _box_like)
    logits = _pick(RAW_LOGITS, [o for o in outputs if o is not boxes], "class logit output [B, Q, C]", _rank3)
    if not _may_pair(logits, boxes):  # what the declarations already rule out needs no trial run
        raise Refused(f"its outputs {logits.name} {_dims(logits)} and {boxes.name} {_dims(boxes)} {_PAIR}")
    return logits, boxes


def _may_pair(logits: Any, boxes: Any) -> bool:
    """Whether the declarations allow float [B, Q, C] logits and [B, Q, 4] boxes of one Q."""
    if not (_is_float(logits) and _is_float(boxes)):
        return False
    ld, bd = _dims(logits), _dims(boxes)
    if any(len(d) != 3 or any(isinstance(n, int) and n < 1 for n in d) for d in (ld, bd) if d is not None):
        return False
    return not (ld and bd and isinstance(ld[1], int) and isinstance(bd[1], int) and ld[1] != bd[1])


def _computed_outputs(model: Any, image: Any, logits: Any, boxes: Any) -> tuple[list[int], list[int]]:
    """The shapes of logits [1, Q, C] and boxes [1, Q, 4] from a trial run (exporters often leave Q and C symbolic)."""
    computed = dict(zip((o.name for o in model.graph.output), probe_shapes(model, image)))
    for v in (logits, boxes):
        _agrees(v, *computed[v.name])
    lshape, bshape = computed[logits.name][0], computed[boxes.name][0]
    if (
        len(lshape) != 3
        or len(bshape) != 3
        or bshape[2] != 4
        or lshape[:2] != bshape[:2]
        or lshape[0] != 1
        or not (lshape[1] >= 1 and lshape[2] >= 1)
    ):
        raise Refused(f"its outputs {logits.name} {lshape} and {boxes.name} {bshape} {_PAIR}")
    return lshape, bshape


def _agrees(v: Any, shape: list[int], dtype: str) -> None:
    """Refuse an output whose declaration differs from what it computes."""
    from onnx import helper

    declared = _dims(v)
    if declared is not None and (len(declared) != len(shape) or not all(_fits(d, n) for d, n in zip(declared, shape))):
        raise Refused(f"its output {v.name} is declared {declared} but computes {shape}")
    declared_dtype = helper.tensor_dtype_to_np_dtype(v.type.tensor_type.elem_type).name
    if declared_dtype != dtype:
        raise Refused(f"its output {v.name} is declared {declared_dtype} but computes {dtype}")

"""D-FINE's deploy post-processing appended to a raw export's graph, which itself stays untouched."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from quarn.inspection.detect import contract
from quarn.inspection.detect.contract import INPUT_NAMES, OUTPUT_NAMES, TOP_K
from quarn.inspection.detect.model_tool.raw import RawLayout


def _graphs(graph: Any) -> Iterator[Any]:
    """A graph and every subgraph of its control-flow nodes."""
    yield graph
    for node in graph.node:
        for attr in node.attribute:
            if attr.HasField("g"):
                yield from _graphs(attr.g)
            for g in attr.graphs:
                yield from _graphs(g)


def _rename(graph: Any, old: str, new: str) -> None:
    for g in _graphs(graph):
        for node in g.node:
            node.input[:] = [new if n == old else n for n in node.input]
            node.output[:] = [new if n == old else n for n in node.output]
        for v in (*g.input, *g.output, *g.value_info, *g.initializer):
            if v.name == old:
                v.name = new


def _all_names(graph: Any) -> set[str]:
    names: set[str] = set()
    for g in _graphs(graph):
        for node in g.node:
            names.update(node.input)
            names.update(node.output)
        names.update(v.name for v in (*g.input, *g.output, *g.value_info, *g.initializer))
    return names


def _fresh(base: str, used: set[str]) -> str:
    candidate, n = base, 0
    while candidate in used:
        n += 1
        candidate = f"{base}_{n}"
    return candidate


class _Names:
    """New value names under quarn_post/, none taken by the graph."""

    def __init__(self, used: set[str]) -> None:
        self.used = used

    def __call__(self, base: str) -> str:
        fresh = _fresh(f"quarn_post/{base}", self.used)
        self.used.add(fresh)
        return fresh


def adapt_model(model: Any, layout: RawLayout, source: str, metadata: dict[str, str] | None = None) -> Any:
    """Append D-FINE's deploy post-processing to a raw export, in place, and return it.

    The same computation as tools/export_dfine.py puts in its graphs: sigmoid of
    the logits, the top K = min(300, Q*C) of all query x class scores, label =
    index mod C, query = index div C, that query's centre box turned into
    corners and scaled by [w, h, w, h] from ``orig_target_sizes``.  ``metadata`` is added to the model's own.
    """
    graph = model.graph
    used = _all_names(graph)
    _move_aside(graph, layout, used)
    _rename(graph, layout.image, contract.IMAGES.name)
    names = _Names(used)
    k = min(TOP_K, layout.queries * layout.classes)
    graph.node.extend(_post_processing(graph, layout, names, k))
    _declare(graph, layout.batch, k)
    # Keep what the file said about itself (its weights' origin included) and say what was done.
    props = {p.key: p.value for p in model.metadata_props}
    props["quarn:adapted_from"] = source
    props["quarn:post_processing"] = (f"sigmoid, top {k} of {layout.queries} queries x {layout.classes} classes, "
                                      "cxcywh to xyxy in pixels")
    props.update(metadata or {})
    del model.metadata_props[:]
    for key, value in props.items():
        model.metadata_props.add(key=key, value=value)
    return model


def _move_aside(graph: Any, layout: RawLayout, used: set[str]) -> None:
    """Internal values that happen to carry a contract name get fresh names (the outputs followed in ``layout``)."""
    for taken in (*INPUT_NAMES, *OUTPUT_NAMES):
        if taken in used and taken != layout.image:
            fresh = _fresh(f"raw/{taken}", used)
            _rename(graph, taken, fresh)
            used.add(fresh)
            if layout.logits == taken:
                layout.logits = fresh
            if layout.boxes == taken:
                layout.boxes = fresh


def _constants(graph: Any, names: _Names, classes: int, k: int) -> dict[str, str]:
    """The post-processing's constants, added as initialisers; their names by role."""
    from onnx import numpy_helper

    import numpy as np

    consts: dict[str, Any] = {
        "k": np.array([k], np.int64),
        "classes": np.array(classes, np.int64),
        "flat_shape": np.array([0, -1], np.int64),
        "column_shape": np.array([0, -1, 1], np.int64),
        "box_width": np.array([1, 1, 4], np.int64),
        "scale_shape": np.array([-1, 1, 4], np.int64),
        "half": np.array(0.5, np.float32),
        "s0": np.array([0], np.int64),
        "s2": np.array([2], np.int64),
        "s4": np.array([4], np.int64),
    }
    cn = {key: names(key) for key in consts}
    graph.initializer.extend(numpy_helper.from_array(v, cn[key]) for key, v in consts.items())
    return cn


def _post_processing(graph: Any, layout: RawLayout, names: _Names, k: int) -> list[Any]:
    from onnx import TensorProto as T, helper as h

    cn = _constants(graph, names, layout.classes, k)
    logits, boxes = layout.logits, layout.boxes
    nodes = []
    if layout.logits_elem != T.FLOAT:
        nodes.append(h.make_node("Cast", [logits], [logits := names("logits_f32")], to=T.FLOAT))
    if layout.boxes_elem != T.FLOAT:
        nodes.append(h.make_node("Cast", [boxes], [boxes := names("boxes_f32")], to=T.FLOAT))
    prob, flat, index, query, column, wide, chosen = map(names, ("prob", "flat", "index", "query", "column", "wide", "chosen"))
    centre, size, half_size, lo, hi, corners = map(names, ("centre", "size", "half_size", "lo", "hi", "corners"))
    wh, whwh, scale = names("wh"), names("whwh"), names("scale")
    return nodes + [
        h.make_node("Sigmoid", [logits], [prob]),
        h.make_node("Reshape", [prob, cn["flat_shape"]], [flat]),  # [B, Q*C]
        h.make_node("TopK", [flat, cn["k"]], [contract.SCORES.name, index], axis=-1, largest=1, sorted=1),
        h.make_node("Mod", [index, cn["classes"]], [contract.LABELS.name]),
        h.make_node("Div", [index, cn["classes"]], [query]),
        h.make_node("Reshape", [query, cn["column_shape"]], [column]),  # [B, K, 1]
        h.make_node("Expand", [column, cn["box_width"]], [wide]),  # [B, K, 4]
        h.make_node("GatherElements", [boxes, wide], [chosen], axis=1),
        h.make_node("Slice", [chosen, cn["s0"], cn["s2"], cn["s2"]], [centre]),
        h.make_node("Slice", [chosen, cn["s2"], cn["s4"], cn["s2"]], [size]),
        h.make_node("Mul", [size, cn["half"]], [half_size]),
        h.make_node("Sub", [centre, half_size], [lo]),
        h.make_node("Add", [centre, half_size], [hi]),
        h.make_node("Concat", [lo, hi], [corners], axis=2),
        # [[w, h]] -> [[[w, h, w, h]]]
        h.make_node("Cast", [contract.ORIG_TARGET_SIZES.name], [wh], to=T.FLOAT),
        h.make_node("Concat", [wh, wh], [whwh], axis=1),
        h.make_node("Reshape", [whwh, cn["scale_shape"]], [scale]),
        h.make_node("Mul", [corners, scale], [contract.BOXES.name]),
    ]


def _declare(graph: Any, batch: Any, k: int) -> None:
    """The detector's second input and its three outputs, in place of the raw export's outputs."""
    from onnx import helper as h

    batch = batch if batch is not None else "batch"
    sizes = contract.ORIG_TARGET_SIZES
    graph.input.append(h.make_tensor_value_info(sizes.name, sizes.elements[0].onnx, [batch, *sizes.dims]))
    del graph.output[:]
    # [B, K] for labels and scores, [B, K, 4] for boxes
    graph.output.extend(h.make_tensor_value_info(t.name, t.elements[0].onnx, [batch, k, *t.dims]) for t in contract.OUTPUTS)

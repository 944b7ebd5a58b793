"""``quarn-detect-model``: turn a published D-FINE ONNX export into the model the detector loads.

Transformers-based exporters publish D-FINE as the bare network: one image input
``pixel_values`` (B x 3 x 640 x 640, RGB 0..1) and two outputs, ``logits``
(B x Q x C) and ``pred_boxes`` (B x Q x 4, normalised cx cy w h).  The detector
needs the deploy form instead, with D-FINE's post-processing inside the graph:
inputs ``images`` and ``orig_target_sizes`` (int64 [[w, h]]), outputs
``labels``, ``boxes`` (x1 y1 x2 y2 in original pixels) and ``scores`` over the
top 300 query x class pairs.  ``adapt`` appends that post-processing to the
published graph, leaving the network itself untouched.

    quarn-detect-model adapt model.onnx               # installs detect/dfine_m_coco.onnx
    quarn-detect-model adapt model.onnx -o line3.onnx

Only ``onnx`` is needed (``pip install "quarn[model]"``); no torch.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import stat
import subprocess
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from quarn import weights
from quarn.inspection.detect import _files, contract
from quarn.inspection.detect.contract import COCO_CLASSES, COMPONENT, DEFAULT_MODEL, INPUT_SIZE, TOP_K

PROG = "quarn-detect-model"
MIN_OPSET = 11  # TopK with a K input and the largest/sorted attributes, GatherElements
MISSING_ONNX = f'{PROG} needs the onnx package, which is not installed. Install it with: pip install "quarn[model]"'
# One ONNX file is one protobuf message, which cannot exceed 2 GiB; a larger input is not a model.
MAX_MODEL_BYTES = 2**31 - 1
# The trial run of the (untrusted) graph runs in a child process with these bounds: wall-clock seconds,
# and address space in bytes (None: half the physical memory, at least PROBE_MIN_MEMORY).
PROBE_SECONDS = 60.0
PROBE_MEMORY: int | None = None
PROBE_MIN_MEMORY = 4 << 30


class Refused(Exception):
    """The input is not something this tool can adapt, or the output may not be written."""


class Terminated(BaseException):
    """SIGTERM arrived; raised like KeyboardInterrupt so that every cleanup runs."""


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


def _import_onnx() -> Any:
    try:
        import onnx
    except ImportError as exc:
        raise Refused(MISSING_ONNX) from exc
    return onnx


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


# Run in a fresh interpreter (-P: nothing from the current folder is imported). It limits its own address
# space before loading anything, reads the serialised model from stdin and prints one JSON line.
_PROBE_CHILD = """
import json, sys
try:
    import resource
    seconds, limit = int(sys.argv[5]), int(sys.argv[3])
    # CPU time too: a child whose parent was killed still ends
    resource.setrlimit(resource.RLIMIT_CPU, (seconds, resource.RLIM_INFINITY))
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
except (ImportError, ValueError, OSError):
    pass
try:
    import numpy as np
    import onnxruntime as ort
    data = sys.stdin.buffer.read()
    options = ort.SessionOptions()
    options.log_severity_level = 3
    options.intra_op_num_threads = options.inter_op_num_threads = 1
    session = ort.InferenceSession(data, options, providers=["CPUExecutionProvider"])
    blank = np.zeros((1, 3, int(sys.argv[4]), int(sys.argv[4])), dtype=sys.argv[2])
    result = [[list(a.shape), str(a.dtype)] for a in session.run(None, {sys.argv[1]: blank})]
except BaseException as exc:
    result = {"error": " ".join(str(exc).split()) or type(exc).__name__, "memory": isinstance(exc, MemoryError)}
print(json.dumps(result))
"""


def _signal_name(number: int) -> str:
    try:
        return f"ended by {signal.Signals(number).name}"
    except ValueError:
        return f"ended by signal {number}"


def _probe_memory() -> int | None:
    if PROBE_MEMORY is not None:
        return PROBE_MEMORY
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None
    return max(PROBE_MIN_MEMORY, total // 2)


def _probe_shapes(model: Any, image: Any) -> list[tuple[list[int], str]]:
    """Run the raw graph once on a blank image: the shape and dtype of every output it computes.

    The graph is untrusted, so the run happens in a child process that is
    stopped after PROBE_SECONDS and may use a bounded address space; any
    failure is one line.
    """
    from onnx import helper

    dtype = helper.tensor_dtype_to_np_dtype(image.type.tensor_type.elem_type).name
    memory = _probe_memory()
    # The child imports numpy and onnxruntime from where this process found them.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if os.path.isabs(p)))
    cpu = str(math.ceil(PROBE_SECONDS) + 5)
    command = [sys.executable, "-P", "-c", _PROBE_CHILD, image.name, dtype, str(memory or 0), str(INPUT_SIZE), cpu]
    trial = f"a trial run on a {INPUT_SIZE} x {INPUT_SIZE} image"
    too_long = Refused(f"it does not finish {trial} within {PROBE_SECONDS:g} s")
    try:
        done = subprocess.run(command, input=model.SerializeToString(), capture_output=True, env=env, timeout=PROBE_SECONDS)
    except subprocess.TimeoutExpired:  # run() has killed the child
        raise too_long from None
    except OSError as exc:
        raise Refused(f"{trial} could not start: {exc.strerror}") from None
    if hasattr(signal, "SIGXCPU") and done.returncode == -signal.SIGXCPU:
        raise too_long
    lines = done.stdout.decode(errors="replace").strip().splitlines()
    try:
        result = json.loads(lines[-1])
    except (IndexError, ValueError):
        last = (done.stderr.decode(errors="replace").strip().splitlines() or [""])[-1].strip()
        if done.returncode < 0:
            last = f"{_signal_name(-done.returncode)}{': ' + last if last else ''}"
        raise Refused(f"{trial} failed: {last or f'exit status {done.returncode}'}") from None
    if isinstance(result, dict):
        error = result["error"]
        if memory and (result["memory"] or "alloc" in error.lower()):
            error += f" (the trial run may use {memory / (1 << 30):.1f} GiB)"
        raise Refused(f"it does not run on a {INPUT_SIZE} x {INPUT_SIZE} image: {error}")
    return [(list(shape), dtype) for shape, dtype in result]


def inspect_raw(model: Any) -> RawLayout:
    """Find the image input and the two outputs of a raw D-FINE export; refuse anything else."""
    from onnx import TensorProto, helper

    graph = model.graph
    opset = next((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), 0)
    names_in = [i.name for i in graph.input]
    names_out = [o.name for o in graph.output]
    if set(contract.INPUT_NAMES) <= set(names_in) or set(contract.OUTPUT_NAMES) <= set(names_out):
        raise Refused("it already has the detector's inputs and outputs "
                      f"({', '.join(contract.INPUT_NAMES)} -> {', '.join(contract.OUTPUT_NAMES)})")
    if opset < MIN_OPSET:
        raise Refused(f"its opset is {opset}; at least {MIN_OPSET} is needed")
    initialised = {t.name for t in graph.initializer}
    inputs = [i for i in graph.input if i.name not in initialised]
    floats = (TensorProto.FLOAT, TensorProto.FLOAT16, TensorProto.BFLOAT16, TensorProto.DOUBLE)

    def is_float(v: Any) -> bool:
        return v.type.tensor_type.elem_type in floats

    # the graph's image input becomes the detector's: the same element types, rank and planes
    wanted = contract.IMAGES
    channels = wanted.dims[0]

    def is_image(v: Any) -> bool:
        d = _dims(v)
        elem = v.type.tensor_type.elem_type
        return elem in {e.onnx for e in wanted.elements} and d is not None and len(d) == wanted.rank and _fits(d[1], channels)

    image = _pick(contract.RAW_IMAGE, inputs, "image input", is_image)
    if len(inputs) != 1:
        raise Refused(f"it takes {len(inputs)} inputs ({', '.join(names_in)}); a raw export takes the image only")
    d, full = _dims(image), [1, *wanted.dims]
    if not is_image(image) or not all(_fits(x, n) for x, n in zip(d or [], full)):
        kinds = " or ".join(e.numpy for e in wanted.elements)
        raise Refused(f"its input {image.name} is {d}, not a {kinds} image {full}")

    outputs = list(graph.output)

    def rank3(v: Any) -> bool:
        d = _dims(v)
        return is_float(v) and d is not None and len(d) == 3

    def box_like(v: Any) -> bool:
        d = _dims(v)
        return rank3(v) and d is not None and _fits(d[2], 4)

    boxes = _pick(contract.RAW_BOXES, outputs, "box output [B, Q, 4]", box_like)
    logits = _pick(contract.RAW_LOGITS, [o for o in outputs if o is not boxes], "class logit output [B, Q, C]", rank3)
    pair = "are not float [B, Q, C] and [B, Q, 4]"
    ld, bd = _dims(logits), _dims(boxes)
    # what the declarations already rule out needs no trial run
    if (
        not (is_float(logits) and is_float(boxes))
        or any(len(d) != 3 or any(isinstance(n, int) and n < 1 for n in d) for d in (ld, bd) if d is not None)
        or (ld and bd and isinstance(ld[1], int) and isinstance(bd[1], int) and ld[1] != bd[1])
    ):
        raise Refused(f"its outputs {logits.name} {ld} and {boxes.name} {bd} {pair}")
    # Q and C come from a real run (exporters often leave them symbolic); a declaration must agree with it.
    computed = dict(zip((o.name for o in outputs), _probe_shapes(model, image)))
    for v in (logits, boxes):
        declared, (shape, dtype) = _dims(v), computed[v.name]
        if declared is not None and (len(declared) != len(shape) or not all(_fits(d, n) for d, n in zip(declared, shape))):
            raise Refused(f"its output {v.name} is declared {declared} but computes {shape}")
        declared_dtype = helper.tensor_dtype_to_np_dtype(v.type.tensor_type.elem_type).name
        if declared_dtype != dtype:
            raise Refused(f"its output {v.name} is declared {declared_dtype} but computes {dtype}")
    lshape, bshape = computed[logits.name][0], computed[boxes.name][0]
    if (
        len(lshape) != 3
        or len(bshape) != 3
        or bshape[2] != 4
        or lshape[:2] != bshape[:2]
        or lshape[0] != 1
        or not (lshape[1] >= 1 and lshape[2] >= 1)
    ):
        raise Refused(f"its outputs {logits.name} {lshape} and {boxes.name} {bshape} {pair}")
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


def adapt_model(model: Any, layout: RawLayout, source: str) -> Any:
    """Append D-FINE's deploy post-processing to a raw export, in place, and return it.

    The same computation as tools/export_dfine.py puts in its graphs: sigmoid of
    the logits, the top K = min(300, Q*C) of all query x class scores, label =
    index mod C, query = index div C, that query's centre box turned into
    corners and scaled by [w, h, w, h] from ``orig_target_sizes``.
    """
    from onnx import TensorProto as T, helper as h, numpy_helper

    import numpy as np

    graph = model.graph
    # Internal values that happen to carry a contract name move aside first.
    used = _all_names(graph)
    images, sizes = contract.INPUT_NAMES
    labels, boxes_out, scores = contract.OUTPUT_NAMES
    for taken in (*contract.INPUT_NAMES, *contract.OUTPUT_NAMES):
        if taken in used and taken != layout.image:
            fresh = _fresh(f"raw/{taken}", used)
            _rename(graph, taken, fresh)
            used.add(fresh)
            if layout.logits == taken:
                layout.logits = fresh
            if layout.boxes == taken:
                layout.boxes = fresh
    _rename(graph, layout.image, images)

    def new_name(base: str) -> str:
        fresh = _fresh(f"quarn_post/{base}", used)
        used.add(fresh)
        return fresh

    c, k = layout.classes, min(TOP_K, layout.queries * layout.classes)
    consts: dict[str, Any] = {
        "k": np.array([k], np.int64),
        "classes": np.array(c, np.int64),
        "flat_shape": np.array([0, -1], np.int64),
        "column_shape": np.array([0, -1, 1], np.int64),
        "box_width": np.array([1, 1, 4], np.int64),
        "scale_shape": np.array([-1, 1, 4], np.int64),
        "half": np.array(0.5, np.float32),
        "s0": np.array([0], np.int64),
        "s2": np.array([2], np.int64),
        "s4": np.array([4], np.int64),
    }
    cn = {key: new_name(key) for key in consts}
    graph.initializer.extend(numpy_helper.from_array(v, cn[key]) for key, v in consts.items())

    logits, boxes = layout.logits, layout.boxes
    nodes = []
    if layout.logits_elem != T.FLOAT:
        nodes.append(h.make_node("Cast", [logits], [logits := new_name("logits_f32")], to=T.FLOAT))
    if layout.boxes_elem != T.FLOAT:
        nodes.append(h.make_node("Cast", [boxes], [boxes := new_name("boxes_f32")], to=T.FLOAT))
    prob, flat, index, query, column, wide, chosen = (new_name(n) for n in ("prob", "flat", "index", "query", "column", "wide", "chosen"))
    centre, size, half_size, lo, hi, corners = (new_name(n) for n in ("centre", "size", "half_size", "lo", "hi", "corners"))
    wh, whwh, scale = new_name("wh"), new_name("whwh"), new_name("scale")
    nodes += [
        h.make_node("Sigmoid", [logits], [prob]),
        h.make_node("Reshape", [prob, cn["flat_shape"]], [flat]),  # [B, Q*C]
        h.make_node("TopK", [flat, cn["k"]], [scores, index], axis=-1, largest=1, sorted=1),
        h.make_node("Mod", [index, cn["classes"]], [labels]),
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
        h.make_node("Cast", [sizes], [wh], to=T.FLOAT),
        h.make_node("Concat", [wh, wh], [whwh], axis=1),
        h.make_node("Reshape", [whwh, cn["scale_shape"]], [scale]),
        h.make_node("Mul", [corners, scale], [boxes_out]),
    ]
    graph.node.extend(nodes)

    batch = layout.batch if layout.batch is not None else "batch"
    wh_input = contract.ORIG_TARGET_SIZES
    graph.input.append(h.make_tensor_value_info(sizes, wh_input.elements[0].onnx, [batch, *wh_input.dims]))
    del graph.output[:]
    # [B, K] for labels and scores, [B, K, 4] for boxes
    graph.output.extend(h.make_tensor_value_info(t.name, t.elements[0].onnx, [batch, k, *t.dims]) for t in contract.OUTPUTS)
    # Keep what the file said about itself (its weights' origin included) and say what was done.
    props = {p.key: p.value for p in model.metadata_props}
    props["quarn:adapted_from"] = source
    props["quarn:post_processing"] = f"sigmoid, top {k} of {layout.queries} queries x {c} classes, cxcywh to xyxy in pixels"
    del model.metadata_props[:]
    for key, value in props.items():
        model.metadata_props.add(key=key, value=value)
    return model


def _fresh(base: str, used: set[str]) -> str:
    candidate, n = base, 0
    while candidate in used:
        n += 1
        candidate = f"{base}_{n}"
    return candidate


def default_target() -> Path:
    """Where the detector's default model is installed: detect/dfine_m_coco.onnx under the first weights root."""
    roots = weights.search_roots()
    if not roots:
        raise Refused(f"no model folder to install into ({'; '.join(weights.ignored_roots())}); "
                      f"set {weights.ENV_VAR} to an absolute folder, or give -o")
    return roots[0] / COMPONENT / DEFAULT_MODEL


_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISLNK, "a symbolic link"),
)


def _kind(mode: int) -> str:
    return next((name for test, name in _KINDS if test(mode)), "a special file")


def _read_fd(fd: int, offset: int, length: int) -> bytes:
    """``length`` bytes from ``offset`` of a regular file (fewer only if it shrank meanwhile)."""
    os.lseek(fd, offset, os.SEEK_SET)
    chunks, left = [], length
    while left > 0:
        chunk = os.read(fd, min(left, 1 << 24))
        if not chunk:
            break
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


_OPEN_FLAGS = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)  # a FIFO never blocks the open


def _read_model(source: Path) -> tuple[bytes, tuple[int, int]]:
    """The bytes of the model file ``source`` and its (device, inode); anything but a regular file is refused unread."""
    try:
        st = source.stat()
        if stat.S_ISREG(st.st_mode) and st.st_size <= MAX_MODEL_BYTES:
            fd = os.open(source, _OPEN_FLAGS)
            try:
                st = os.fstat(fd)  # what was opened, in case the name changed meanwhile
                if stat.S_ISREG(st.st_mode) and st.st_size <= MAX_MODEL_BYTES:
                    return _read_fd(fd, 0, st.st_size), (st.st_dev, st.st_ino)
            finally:
                os.close(fd)
    except FileNotFoundError:
        raise Refused(f"{source}: no such file") from None
    except OSError as exc:
        raise Refused(f"cannot read {source}: {exc.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{source} is {_kind(st.st_mode)}, not a model file")
    raise Refused(f"{source} is {st.st_size / (1 << 30):.1f} GiB; an ONNX file holds at most 2 GiB")


def _tensors(message: Any) -> Iterator[Any]:
    """Every TensorProto in an ONNX message: initialisers, constants and attributes, in subgraphs and functions too."""
    from google.protobuf.message import Message
    from onnx import TensorProto

    for field, value in message.ListFields():
        if field.message_type is None:
            continue
        for item in [value] if isinstance(value, Message) else value:
            if isinstance(item, TensorProto):
                yield item
            else:
                yield from _tensors(item)


def _open_inside(folder: Path, location: str, what: str) -> tuple[int, os.stat_result]:
    """Open the regular file ``location`` names inside ``folder``, refusing links, special files and ways out."""
    parts = [p for p in location.split("/") if p != "."]
    if not parts or location.startswith("/") or any(p in ("", "..") or "\\" in p or "\0" in p for p in parts):
        raise Refused(f"{what} is stored in {location!r}, which is not a path inside the model's folder")
    path = folder
    for n, part in enumerate(parts, 1):
        path = path / part
        try:
            st = os.lstat(path)
        except OSError as exc:
            raise Refused(f"{what} is stored in {location!r}: {exc.strerror}") from None
        if stat.S_ISLNK(st.st_mode):
            raise Refused(f"{what} is stored in {location!r}, through a symbolic link; only files inside the model's folder are read")
        if n < len(parts) and not stat.S_ISDIR(st.st_mode):
            raise Refused(f"{what} is stored in {location!r}: {'/'.join(parts[:n])} is {_kind(st.st_mode)}")
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{what} is stored in {location!r}, which is {_kind(st.st_mode)}, not a data file")
    try:
        fd = os.open(path, _OPEN_FLAGS | getattr(os, "O_NOFOLLOW", 0))
    except OSError as exc:
        raise Refused(f"{what} is stored in {location!r}: {exc.strerror}") from None
    opened = os.fstat(fd)
    if (opened.st_dev, opened.st_ino) != (st.st_dev, st.st_ino) or not stat.S_ISREG(opened.st_mode):
        os.close(fd)
        raise Refused(f"{what} is stored in {location!r}, which changed while it was being read")
    return fd, opened


def load_external_data(model: Any, folder: Path) -> list[tuple[int, int]]:
    """Move the data of every tensor stored outside the model file into the model; the (device, inode) of each file read.

    Only regular files inside ``folder`` (the model's own) are read, each
    reached without symbolic links: a crafted location never reads other
    files, waits on a pipe or copies a link's target into the output.
    """
    from onnx import TensorProto

    read: list[tuple[int, int]] = []
    total = 0
    for tensor in _tensors(model):
        if tensor.data_location != TensorProto.EXTERNAL:
            continue
        what = f"its tensor {tensor.name!r}"
        info = {e.key: e.value for e in tensor.external_data}
        location = info.get("location", "")
        fd, st = _open_inside(folder, location, what)
        try:
            try:
                offset = int(info.get("offset") or 0)
                length = int(info["length"]) if info.get("length") else st.st_size - offset
            except ValueError:
                raise Refused(f"{what} has an offset or length that is not a number") from None
            if offset < 0 or length < 0 or offset + length > st.st_size:
                raise Refused(f"{what} lies outside {location!r} ({length} bytes at {offset}; the file has {st.st_size})")
            total += length
            if total > MAX_MODEL_BYTES:
                raise Refused("its tensor data exceed 2 GiB, more than one ONNX file can hold")
            data = _read_fd(fd, offset, length)
        finally:
            os.close(fd)
        if len(data) != length:
            raise Refused(f"{what}: {location!r} shrank while it was being read")
        tensor.raw_data = data
        tensor.data_location = TensorProto.DEFAULT
        del tensor.external_data[:]
        read.append((st.st_dev, st.st_ino))
    return read


def check_target(target: Path, inputs: dict[tuple[int, int], str], force: bool) -> None:
    """Refuse an output that is one of ``inputs`` (by device and inode), not a regular file, or, without ``force``, exists."""
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        return
    except OSError as exc:  # a name too long, a parent that is a file, a folder that cannot be searched
        raise Refused(f"cannot write {target}: {exc.strerror}") from None
    for ident in ((st.st_dev, st.st_ino), _files.file_id(target)):
        if ident in inputs:
            raise Refused(f"{target} is {inputs[ident]}; give another output")
    if stat.S_ISLNK(st.st_mode):
        # os.replace would replace the link itself, not the file it points to
        raise Refused(f"{target} is a symbolic link; give the file it points to, or another output")
    if not stat.S_ISREG(st.st_mode):
        raise Refused(f"{target} is {_kind(st.st_mode)}, not a regular file; give another output")
    if not force:
        raise Refused(f"{target} exists; pass --force to replace it")


def write_atomically(data: bytes, target: Path, force: bool) -> None:
    """Write ``data`` to ``target`` through a locked part file in the same folder.

    Readers see the old file or the whole new one, never a part; a new file
    gets the umask's mode, a replaced one keeps its mode.  Without ``force``
    an existing file is left alone, also when it appears while writing.
    """
    with _files.PartFile(target) as part:
        part.write(data)
        if not part.publish(replace=force):
            raise Refused(f"{target} exists; pass --force to replace it")


def _printable(text: str) -> str:
    """``text`` on one line: control characters and undecodable bytes of names escaped."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def adapt(source: Path, output: Path | None, force: bool, out: Any = None) -> Path:
    """Adapt the raw export ``source``; write it to ``output`` or install it as the default model."""
    out = sys.stdout if out is None else out
    onnx = _import_onnx()
    target = output if output is not None else default_target()
    data, source_id = _read_model(source)
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
    try:
        removed = _files.sweep(target.parent)
        if removed:
            names = ", ".join(p.name for p in removed)
            print(_printable(f"note: removed {names} in {target.parent}, left by a run that was killed"), file=out)
        write_atomically(payload, target, force)
    except OSError as exc:  # read-only folder, full disk, no permission: the part file is gone already
        raise Refused(f"cannot write {target}: {exc.strerror or exc}") from None
    k = min(TOP_K, layout.queries * layout.classes)
    elem = onnx.helper.tensor_dtype_to_np_dtype(layout.image_elem)
    print(_printable(f"{source} -> {target}"), file=out)
    print(_printable(f"  images {elem} (was {layout.image}), {layout.queries} queries x {layout.classes} classes, top {k}"), file=out)
    if layout.classes != COCO_CLASSES:
        print(
            f"note: the model has {layout.classes} classes, not COCO's {COCO_CLASSES}; the detector names labels"
            f" from COCO80, and labels from {COCO_CLASSES} on print as numbers",
            file=out,
        )
    if output is None:
        print(f"  installed as the default model ({COMPONENT}/{DEFAULT_MODEL}); quarn-detect uses it without --model", file=out)
    return target


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Model files for quarn's D-FINE detector.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
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
    return parser


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated(signum)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    previous = None
    with contextlib.suppress(ValueError):  # only the main thread may set handlers; elsewhere SIGTERM stays as it is
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        adapt(args.source, args.output, args.force)
    except Refused as exc:
        print(f"{PROG}: error: {_printable(str(exc))}", file=sys.stderr)
        return 1
    except (KeyboardInterrupt, Terminated) as exc:  # every part file is removed on the way out
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + (exc.args[0] if isinstance(exc, Terminated) else signal.SIGINT)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""``quarn-detect-model``: model files for the detector, one subcommand per module.

``adapt`` turns a published D-FINE ONNX export into the model the detector
loads.  Transformers-based exporters publish D-FINE as the bare network: one
image input ``pixel_values`` (B x 3 x 640 x 640, RGB 0..1) and two outputs,
``logits`` (B x Q x C) and ``pred_boxes`` (B x Q x 4, normalised cx cy w h).
The detector needs the deploy form instead, with D-FINE's post-processing
inside the graph: inputs ``images`` and ``orig_target_sizes`` (int64 [[w, h]]),
outputs ``labels``, ``boxes`` (x1 y1 x2 y2 in original pixels) and ``scores``
over the top 300 query x class pairs.  ``adapt`` appends that post-processing
to the published graph, leaving the network itself untouched, and writes the
model's class names into it.  ``fetch`` downloads such an export from the
Hugging Face hub and adapts it the same way, recording where it came from.

    quarn-detect-model fetch                          # D-FINE-M COCO, installed as detect/dfine_m_coco.onnx
    quarn-detect-model adapt model.onnx               # installs detect/dfine_m_coco.onnx
    quarn-detect-model adapt model.onnx -o line3.onnx --names data.yaml

Only ``onnx`` is needed, and ``huggingface_hub`` for ``fetch`` (``pip install "quarn[model]"``); no torch.

``eval`` scores a model on COCO-annotated images and ``compare`` a candidate model against the reference's
detections, both with pycocotools (``evaluate``, ``compare``; ``annotations``, ``scoring``, ``detecting``).

Modules: ``adapt`` and ``fetch`` (the subcommands), ``raw`` (recognising a raw export) with
``probe`` (its bounded trial run), ``graph`` (the post-processing appended),
``reading`` and ``writing`` (the tool's files), ``errors``; what the detector
loads is stated in ``quarn.inspection.detect.contract``, class names are read by
``quarn.inspection.detect.class_names``.  A new subcommand is a module with ``add_parser(sub)``,
named in ``_SUBCOMMANDS``.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence

from quarn.inspection.detect.model_tool import adapt, compare, evaluate, fetch
from quarn.inspection.detect.model_tool.errors import MISSING_ONNX, PROG, Refused, printable
from quarn.inspection.detect.model_tool.graph import adapt_model
from quarn.inspection.detect.model_tool.raw import MIN_OPSET, RawLayout, inspect_raw
from quarn.inspection.detect.model_tool.reading import MAX_MODEL_BYTES, load_external_data
from quarn.inspection.detect.model_tool.writing import check_target, default_target, write_atomically
from quarn.inspection.detect.signals import SIGNALS, Stopped

__all__ = [
    "MAX_MODEL_BYTES", "MIN_OPSET", "MISSING_ONNX", "PROBE_MEMORY", "PROBE_MIN_MEMORY", "PROBE_SECONDS", "PROG",
    "RawLayout", "Refused", "adapt", "adapt_model", "build_parser", "fetch",
    "check_target", "default_target", "inspect_raw", "load_external_data", "main", "write_atomically",
]

# The trial run of the (untrusted) graph runs in a child process with these bounds: wall-clock seconds,
# and address space in bytes (None: half the physical memory, at least PROBE_MIN_MEMORY).  The trial run
# reads them here each time, so they are set on this package.
PROBE_SECONDS = 60.0
PROBE_MEMORY: int | None = None
PROBE_MIN_MEMORY = 4 << 30

_SUBCOMMANDS = (adapt, fetch, evaluate, compare)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Model files for quarn's D-FINE detector.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in _SUBCOMMANDS:
        command.add_parser(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    SIGNALS.install()  # SIGTERM stops the tool as Ctrl-C does
    try:
        status = args.run(args) or 0
    except Refused as exc:
        print(f"{PROG}: error: {printable(str(exc))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as exc:  # every part file is removed on the way out
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + (exc.signum if isinstance(exc, Stopped) else signal.SIGINT)
    finally:
        SIGNALS.restore()
    return status

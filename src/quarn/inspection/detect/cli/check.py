"""``--check``: can detection run here?  The model, ONNX Runtime, its providers and a test inference, reported."""

from __future__ import annotations

import argparse
import importlib
import logging
import os
import time
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarn.inspection.detect.cli.console import Console, json_line, shown
from quarn.inspection.detect.contract import COMPONENT
from quarn.inspection.detect.cli.errors import ModelError
from quarn.inspection.detect.cli.model import Model, open_model

if TYPE_CHECKING:
    from quarn.inspection.detect.dfine_runner import DfineDetector

_NAMES_LISTED = 8  # names shown in the table; JSON has them all


class _Report:
    """What --check found: rows for the table, fields for JSON, and the problems that make it not ready."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.rows: list[tuple[str, object]] = [("model", args.model)]
        self.fields: dict[str, Any] = {
            "model": args.model, "model_file": None, "looked_in": [], "onnxruntime": None, "available_providers": [],
            "requested_device": args.device, "requested_providers": [], "provider": None, "device": None,
            "contract": None, "untrained": None, "names": None, "test_inference_ms": None}
        self.problems: list[str] = []

    def show(self, con: Console, as_json: bool) -> int:
        if as_json:
            con.print(json_line(self.fields))
        else:
            for key, value in self.rows:
                con.print(f"{key + ':':<22}{shown(str(value))}")
        return 0 if not self.problems else 1


def check(args: argparse.Namespace, device: str | None, names: dict[int, str] | None, con: Console) -> int:
    report = _Report(args)
    _model_file(report, args.model)
    available = _runtime(report, args.device, device)
    _threads(report, args)
    try:
        loaded: Model | None = open_model(args.model, device, names, args.names, con.error)
        broken = None
    except ModelError as exc:
        loaded, broken = None, exc.loaded
        report.problems.append(str(exc))
    _provider(report, loaded.detector if loaded is not None else broken, device, available)
    if loaded is not None:
        _loaded(report, loaded)
    elif broken is not None:
        report.fields["contract"] = report.problems[0]
        report.rows.append(("model contract", "BROKEN"))
    problems = report.problems
    status = "ready: detection can run" if not problems else "NOT READY: " + " ".join(" ".join(problems).split())
    if not problems and loaded is not None and loaded.untrained:
        status += ", but its weights are UNTRAINED"
    report.fields.update(ready=not problems, status=status)
    report.rows.append(("status", status))
    return report.show(con, args.json)


def _places(model: str) -> list[Path]:
    from quarn import weights

    return weights.candidates(COMPONENT, model)


def _model_file(report: _Report, model: str) -> None:
    from quarn import weights
    from quarn.inspection.detect import dfine_runner as dr

    if dr.is_available(model):
        report.fields["model_file"] = str(weights.model_path(COMPONENT, model).absolute())
        report.rows.append(("model file", report.fields["model_file"]))
    else:
        report.fields["looked_in"] = [str(p) for p in _places(model)]
        report.rows += [("model file", "NOT FOUND")] + [("  looked in", p) for p in report.fields["looked_in"]]
        report.rows.append(("  to get one", weights.HOW_TO_GET[COMPONENT]))


def _runtime(report: _Report, requested_device: str, device: str | None) -> list[str]:
    """ONNX Runtime's version and providers; the providers it offers."""
    from quarn.inspection.detect import dfine_runner as dr

    try:
        ort: Any = importlib.import_module("onnxruntime")  # untyped package
    except ImportError as exc:
        report.rows.append(("onnxruntime", f"NOT INSTALLED ({exc}); reinstall: pip install quarn"))
        return []
    available = list(ort.get_available_providers())
    log = logging.getLogger(dr.logger.name)
    quiet, log.disabled = log.disabled, True  # its CUDA warning comes once, from the load below
    try:
        requested = list(dr._providers(device))
    finally:
        log.disabled = quiet
    report.fields.update(onnxruntime=ort.__version__, available_providers=available, requested_providers=requested)
    report.rows += [("onnxruntime", ort.__version__), ("available providers", ", ".join(available)),
                    ("requested device", requested_device), ("requested providers", ", ".join(requested))]
    return available


# The thread settings the detector reads when it is loaded: JSON key, row, variable, and the flag that sets it.
_THREAD_SETTINGS = (("intra_op", "intra-op threads", "QUARN_ORT_THREADS", "--threads"),
                    ("inter_op", "inter-op threads", "QUARN_ORT_INTER_THREADS", None),
                    ("spin", "idle threads", "QUARN_ORT_SPIN", "--no-spin"))


def _threads(report: _Report, args: argparse.Namespace) -> None:
    """The thread settings in force and where each came from: a flag, the environment, or ONNX Runtime's default."""
    given = {"--threads": args.threads is not None, "--no-spin": args.no_spin}
    settings = {}
    for key, row, variable, flag in _THREAD_SETTINGS:
        value = os.environ.get(variable) or None  # as the detector reads it: empty is not set
        source = flag if flag and given[flag] else variable if value is not None else "default"
        settings[key] = {"value": value, "from": source}
        if value is None:
            shown = {"intra_op": "ONNX Runtime's default (one per physical core)",
                     "spin": "busy-wait (ONNX Runtime's default)"}.get(key, "ONNX Runtime's default")
        else:  # a value the detector refuses is shown as it is; the status says why
            shown = ({"0": "sleep", "1": "busy-wait"}.get(value, repr(value)) if key == "spin" else value) + \
                f" (from {source})"
        report.rows.append((row, shown))
    report.fields["threads"] = settings


def _cuda_cause(available: Sequence[str]) -> str:
    if "CUDAExecutionProvider" not in available:
        return ("this ONNX Runtime has no CUDA provider (it offers " + ", ".join(available) + "); "
                "install onnxruntime-gpu in place of onnxruntime")
    return ("ONNX Runtime has a CUDA provider but could not start it: no GPU visible, or CUDA/cuDNN libraries "
            "missing or of another version (see the ONNX Runtime messages above)")


def _provider(report: _Report, detector: DfineDetector | None, device: str | None, available: Sequence[str]) -> None:
    if detector is None:
        report.rows.append(("provider in use", "-"))
        return
    report.fields.update(provider=detector.provider, device=detector.device)
    report.rows.append(("provider in use", f"{detector.provider} (device {detector.device})"))
    if device == "cuda" and detector.device != "cuda":
        report.problems.append(f"CUDA was requested but ONNX Runtime runs {detector.provider}: {_cuda_cause(available)}")


def _loaded(report: _Report, loaded: Model) -> None:
    """The model fits: its weights, its names, and a test inference that proves it runs."""
    import numpy as np

    report.fields.update(contract="ok", untrained=loaded.untrained)
    report.rows += [("model contract", "ok (images, orig_target_sizes -> labels, boxes, scores)"),
                    ("weights", "UNTRAINED (random): detections mean nothing" if loaded.untrained
                     else "not marked untrained")]
    _names(report, loaded)
    try:
        t0 = time.perf_counter()
        loaded.detector.detect(np.full((64, 64, 3), 114, np.uint8), conf=1.0)
        report.fields["test_inference_ms"] = round((time.perf_counter() - t0) * 1e3, 1)
        report.rows.append(("test inference", f"ok ({report.fields['test_inference_ms']:.0f} ms)"))
    except Exception as exc:
        report.problems.append(str(exc))
        report.rows.append(("test inference", "FAILED"))


def _names(report: _Report, loaded: Model) -> None:
    """The class names the records carry, where they come from, and what is wrong with them for this model."""
    names, warning = loaded.names, loaded.names_warning()
    listed = ", ".join(names[k] for k in sorted(names)[:_NAMES_LISTED]) + (", ..." if len(names) > _NAMES_LISTED else "")
    report.fields["names"] = {"source": loaded.names_from, "count": len(names), "classes": loaded.classes,
                              "names": {str(k): names[k] for k in sorted(names)}, "note": loaded.names_note or None,
                              "warning": warning or None}
    report.rows.append(("class names", f"{len(names)} from {loaded.names_from}: {listed}"))
    if loaded.names_note:
        report.rows.append(("  note", f"the model declares names, but {loaded.names_note}"))
    if warning:
        report.rows.append(("  WARNING", warning))

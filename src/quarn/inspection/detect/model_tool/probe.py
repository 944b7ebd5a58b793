"""The trial run of an untrusted graph: in a child process, bounded in time and memory, its failures in one line."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
from typing import Any

from quarn.inspection.detect.contract import INPUT_SIZE
from quarn.inspection.detect.model_tool.errors import Refused

# Run in a fresh interpreter (-P: nothing from the current folder is imported). It limits its own address
# space before loading anything, reads the serialised model from stdin and prints one JSON line.
_PROBE_CHILD = """
import json, sys
try:
    import resource
except ImportError:
    resource = None
# CPU time too: a child whose parent was killed still ends. Each limit on its own, and never above
# a hard limit already in force (raising one fails, which must not leave the other unset).
for name, value, pinned in (("RLIMIT_CPU", int(sys.argv[5]), False), ("RLIMIT_AS", int(sys.argv[3]), True)):
    try:
        which = getattr(resource, name)
        hard = resource.getrlimit(which)[1]
        value = value if hard == resource.RLIM_INFINITY else min(value, hard)
        if value:
            resource.setrlimit(which, (value, value if pinned else hard))
    except (AttributeError, ValueError, OSError):
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
_TRIAL = f"a trial run on a {INPUT_SIZE} x {INPUT_SIZE} image"


def _signal_name(number: int) -> str:
    try:
        return f"ended by {signal.Signals(number).name}"
    except ValueError:
        return f"ended by signal {number}"


def _bounds() -> tuple[float, int | None]:
    """Seconds and bytes the trial run may use: the package's PROBE_* settings, read at each run."""
    from quarn.inspection.detect import model_tool as settings

    if settings.PROBE_MEMORY is not None:
        return settings.PROBE_SECONDS, settings.PROBE_MEMORY
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return settings.PROBE_SECONDS, None
    return settings.PROBE_SECONDS, max(settings.PROBE_MIN_MEMORY, total // 2)


def probe_shapes(model: Any, image: Any) -> list[tuple[list[int], str]]:
    """Run the raw graph once on a blank image: the shape and dtype of every output it computes.

    The graph is untrusted, so the run happens in a child process that is
    stopped after PROBE_SECONDS and may use a bounded address space; any
    failure is one line.
    """
    from onnx import helper

    seconds, memory = _bounds()
    dtype = helper.tensor_dtype_to_np_dtype(image.type.tensor_type.elem_type).name
    cpu = str(math.ceil(seconds) + 5)
    command = [sys.executable, "-P", "-c", _PROBE_CHILD, image.name, dtype, str(memory or 0), str(INPUT_SIZE), cpu]
    result = _outcome(_run(command, model.SerializeToString(), seconds))
    if isinstance(result, dict):
        error = result["error"]
        if memory and (result["memory"] or "alloc" in error.lower()):
            error += f" (the trial run may use {memory / (1 << 30):.1f} GiB)"
        raise Refused(f"it does not run on a {INPUT_SIZE} x {INPUT_SIZE} image: {error}")
    return [(list(shape), dtype) for shape, dtype in result]


def _run(command: list[str], data: bytes, seconds: float) -> subprocess.CompletedProcess[bytes]:
    too_long = Refused(f"it does not finish {_TRIAL} within {seconds:g} s")
    # The child imports numpy and onnxruntime from where this process found them.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if os.path.isabs(p)))
    # The child runs none of this package's native code. A sanitizer runtime preloaded here (the sanitizer
    # test run) would reserve terabytes of address space in it and defeat its cap: it is not passed on.
    if "LD_PRELOAD" in env:
        kept = [lib for lib in env["LD_PRELOAD"].split(":") if lib and "san.so" not in os.path.basename(lib)]
        env["LD_PRELOAD"] = ":".join(kept)
    try:
        done = subprocess.run(command, input=data, capture_output=True, env=env, timeout=seconds)
    except subprocess.TimeoutExpired:  # run() has killed the child
        raise too_long from None
    except OSError as exc:
        raise Refused(f"{_TRIAL} could not start: {exc.strerror}") from None
    if hasattr(signal, "SIGXCPU") and done.returncode == -signal.SIGXCPU:
        raise too_long
    return done


def _outcome(done: subprocess.CompletedProcess[bytes]) -> Any:
    """The child's JSON line: its outputs' shapes and dtypes, or what it raised."""
    lines = done.stdout.decode(errors="replace").strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, ValueError):
        last = (done.stderr.decode(errors="replace").strip().splitlines() or [""])[-1].strip()
        if done.returncode < 0:
            last = f"{_signal_name(-done.returncode)}{': ' + last if last else ''}"
        raise Refused(f"{_TRIAL} failed: {last or f'exit status {done.returncode}'}") from None

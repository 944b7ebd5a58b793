"""Interpreter shutdown with daemon threads inside the detector's calls ends the process cleanly."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPRO = Path(__file__).resolve().parents[1] / "scripts" / "shutdown_repro.py"


@pytest.mark.parametrize("mode", ["fused", "library"])
def test_shutdown_with_daemon_threads_inside_calls_does_not_abort(mode):
    # The debug allocator aborts on any reference count touched without the GIL;
    # before the fix every run ended that way ("fused": the module's own native
    # code; "library": Pillow and numpy called from it).
    env = dict(os.environ, PYTHONMALLOC="debug")
    for run in range(3):
        proc = subprocess.run([sys.executable, str(REPRO), mode, "6", "0.2"], capture_output=True, text=True, env=env,
                              timeout=120)
        assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (run, proc.returncode, proc.stderr)
        assert "daemon threads running" in proc.stdout

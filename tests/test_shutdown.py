"""Interpreter shutdown with daemon threads inside the native code ends the process cleanly."""

import os
import subprocess
import sys
from pathlib import Path

REPRO = Path(__file__).resolve().parents[1] / "scripts" / "shutdown_repro.py"


def test_shutdown_with_daemon_threads_in_native_code_does_not_abort():
    # The debug allocator aborts on any reference count touched without the GIL;
    # before the fix every run ended that way.
    env = dict(os.environ, PYTHONMALLOC="debug")
    for run in range(4):
        proc = subprocess.run([sys.executable, str(REPRO), "6", "0.2"], capture_output=True, text=True, env=env,
                              timeout=120)
        assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (run, proc.returncode, proc.stderr)
        assert "daemon threads running" in proc.stdout

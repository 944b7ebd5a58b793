"""Interpreter shutdown with daemon threads inside the detector's calls ends the process cleanly."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

REPRO = Path(__file__).resolve().parents[1] / "scripts" / "shutdown_repro.py"


@pytest.mark.parametrize("mode", ["fused", "library"])
def test_shutdown_with_daemon_threads_inside_calls_does_not_abort(mode):
    # The debug allocator aborts on any reference count touched without the GIL;
    # before the fix every run ended that way ("fused": the module's own native
    # code; "library": Pillow and numpy called from it). A rare SIGSEGV in
    # CPython's take_gil is the interpreter's own race: see the reproducer.
    env = dict(os.environ, PYTHONMALLOC="debug")
    for run in range(3):
        proc = subprocess.run([sys.executable, str(REPRO), mode, "6", "0.2"], capture_output=True, text=True, env=env,
                              timeout=120)
        assert proc.returncode == 0 and "Fatal Python error" not in proc.stderr, (run, proc.returncode, proc.stderr)
        assert "daemon threads running" in proc.stdout


def test_threads_other_than_the_main_one_release_every_reference(dr):
    # The shutdown guard must not mistake an ordinary thread for one being ended.
    class Session:
        def run(self, names, feed):
            return [np.zeros((1, 0), np.int64), np.zeros((1, 0, 4), np.float32), np.zeros((1, 0), np.float32)]

    det = dr.DfineDetector.__new__(dr.DfineDetector)
    det.session, det.names, det._image_dtype = Session(), {}, np.float16
    images = [np.zeros((30, 40, 3), np.uint8), np.zeros((30, 40), np.uint8).view(Subclass)]  # fused, library path
    before = [sys.getrefcount(image) for image in images]

    def work():
        for _ in range(50):
            for image in images:
                det.detect(image)
    worker = threading.Thread(target=work)
    worker.start()
    worker.join(60)
    assert not worker.is_alive()
    assert [sys.getrefcount(image) for image in images] == before


class Subclass(np.ndarray):
    pass

"""Interpreter shutdown while daemon threads are inside calls made by the detector.

Daemon threads keep preprocessing (and casting to float16, as `detect` does for
a half-precision model) while the main thread returns. During finalization a
thread that wants the GIL back is ended by a forced unwind from the interpreter;
nothing unwound may then touch a reference count. A fault shows as an abort
(most reliably under PYTHONMALLOC=debug: "... without holding the GIL").

    python scripts/shutdown_repro.py [fused|library] [threads] [seconds-before-exit]

"fused": the threads are inside the module's own native code with the GIL
released. "library": the module's `cv2` is a numpy stand-in, so the fused path
is off and the threads are inside Pillow and numpy, which let the GIL go inside
calls the module makes. (OpenCV itself is left out: its wrappers end the
process when a thread is ended inside them, with or without this module.)
Exit status 0 means the process shut down cleanly.

CPython before 3.14 has a race of its own here (python/cpython#110052): a
daemon thread that starts taking the GIL back just as finalization begins
reads its thread state after finalization has freed it. Under heavy load a
few runs in some thousands end with SIGSEGV in take_gil, this module or not
(numpy's casts and Pillow's resize get there the same way); the debug
allocator's fill of freed memory is what turns the stale read into a crash.
A core file shows it: the crashing thread in take_gil, called from
PyEval_RestoreThread, with a thread state full of 0xdd bytes.
"""

import sys
import threading
import time

import numpy as np

from quarn.inspection.detect import dfine_runner as dr

NO_DETECTIONS = [np.zeros((1, 0), np.int64), np.zeros((1, 0, 4), np.float32), np.zeros((1, 0), np.float32)]


class StubSession:
    def run(self, names, feed):
        return NO_DETECTIONS


class NumpyColour:
    """The two conversions the module asks of OpenCV, done by numpy."""

    COLOR_BGR2RGB, COLOR_GRAY2RGB = 4, 8

    @staticmethod
    def cvtColor(image, code):
        if code == NumpyColour.COLOR_BGR2RGB:
            return np.ascontiguousarray(image[..., 2::-1])
        return np.ascontiguousarray(np.repeat(image[..., None], 3, axis=2))


def worker(det, image, started):
    started.release()
    while True:
        det._preprocess(image)
        det.detect(image)


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "fused"
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 6
    linger = float(sys.argv[3]) if len(sys.argv) > 3 else 0.2
    if mode == "library":
        dr.cv2 = NumpyColour()
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    det.session, det.names, det._image_dtype = StubSession(), {}, np.float16
    image = np.random.default_rng(0).integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    started = threading.Semaphore(0)
    for _ in range(threads):
        threading.Thread(target=worker, args=(det, image, started), daemon=True).start()
    for _ in range(threads):
        started.acquire()
    time.sleep(linger)
    print("main thread exits with", threading.active_count() - 1, "daemon threads running in", mode, "mode", flush=True)


if __name__ == "__main__":
    main()

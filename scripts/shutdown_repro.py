"""Interpreter shutdown while daemon threads are inside the detector's native code.

Daemon threads keep preprocessing (and casting to float16, as `detect` does for
a half-precision model) while the main thread returns. During finalization a
thread that wants the GIL back is ended by a forced unwind from the interpreter;
nothing unwound may then touch a reference count. A fault shows as an abort
(most reliably under PYTHONMALLOC=debug: "... without holding the GIL").

Usage: python scripts/shutdown_repro.py [threads] [seconds-before-exit]
Exit status 0 means the process shut down cleanly.
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


def worker(det, image, started):
    started.release()
    while True:
        det._preprocess(image)
        det.detect(image)


def main():
    threads = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    linger = float(sys.argv[2]) if len(sys.argv) > 2 else 0.2
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    det.session, det.names, det._image_dtype = StubSession(), {}, np.float16
    image = np.random.default_rng(0).integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    started = threading.Semaphore(0)
    for _ in range(threads):
        threading.Thread(target=worker, args=(det, image, started), daemon=True).start()
    for _ in range(threads):
        started.acquire()
    time.sleep(linger)
    print("main thread exits with", threading.active_count() - 1, "daemon threads running", flush=True)


if __name__ == "__main__":
    main()

"""The native preprocessing against what each Pillow generation computes.

Pillow's pass order (and so its pixels) changed in 12.2 and again in 13.0, and
the module follows the Pillow release it sees at import, so the live
comparisons elsewhere reach only the installed release's rule. tests/data
holds the outputs several releases gave for the same tiny images, made by
scripts/make_resample_references.py; here the module is imported in a fresh
interpreter once per stored release, with PIL.__version__ reporting it.
"""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

DATA = Path(__file__).parent / "data"
INPUTS = DATA / "pillow_bilinear_inputs.npz"
RELEASES = sorted((p.name.removeprefix("pillow_bilinear_").removesuffix(".npz")
                   for p in DATA.glob("pillow_bilinear_*.npz") if p != INPUTS),
                  key=lambda v: tuple(int(part) for part in v.split(".")))

# Runs the fused preprocessing on every stored input, at the case's side.
KERNEL = """
import sys
import numpy as np
from PIL import Image  # checks Pillow's own version, so the reported one changes after it
import PIL
PIL.__version__ = sys.argv[1]
from quarn.inspection.detect import dfine_runner as dr

det = dr.DfineDetector.__new__(dr.DfineDetector)
results = {}
with np.load(sys.argv[2]) as inputs:
    for name in inputs.files:
        dr._INPUT_SIZE = int(name.rsplit("_", 1)[1])
        results[name] = det._preprocess(inputs[name])[0]
np.savez(sys.argv[3], **results)
"""


def load(path):
    with np.load(path) as stored:
        return {name: stored[name] for name in stored.files}


def kernel_as_release(version, tmp_path):
    out = tmp_path / f"kernel_{version}.npz"
    proc = subprocess.run([sys.executable, "-c", KERNEL, version, str(INPUTS), str(out)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return load(out)


def generation(version):
    major, minor = (int(part) for part in version.split(".")[:2])
    return "13.0" if major >= 13 else "12.2-12.3" if (major, minor) >= (12, 2) else "<12.2"


def test_references_tell_the_generations_apart():
    # Every generation is stored, and each pair differs somewhere, so a kernel
    # holding one rule, or the library path taken by mistake, cannot pass all.
    assert {generation(v) for v in RELEASES} == {"<12.2", "12.2-12.3", "13.0"}, RELEASES
    firsts = {}
    for version in RELEASES:
        firsts.setdefault(generation(version), load(DATA / f"pillow_bilinear_{version}.npz"))
    names = set(load(INPUTS))
    for a, b in [("<12.2", "12.2-12.3"), ("12.2-12.3", "13.0"), ("<12.2", "13.0")]:
        assert any(not np.array_equal(firsts[a][n], firsts[b][n]) for n in names), (a, b)


@pytest.mark.parametrize("version", RELEASES)
def test_kernel_matches_each_release(version, tmp_path):
    stored = load(DATA / f"pillow_bilinear_{version}.npz")
    assert str(stored.pop("pillow_version")) == version
    inputs = load(INPUTS)
    assert set(stored) == set(inputs)
    results = kernel_as_release(version, tmp_path)
    wrong = []
    for name, rgb in sorted(stored.items()):
        expected = (rgb.astype(np.float32) / 255.0).transpose(2, 0, 1)[None]
        if not np.array_equal(results[name], expected):
            wrong.append(name)
    assert not wrong, f"Pillow {version}: the kernel differs on {wrong}"

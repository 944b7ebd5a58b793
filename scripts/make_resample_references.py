"""Record what the installed Pillow's BILINEAR resize makes of a few tiny images.

When both axes change, Pillow rounds to 8 bits between its two passes, so the
pass order shows in the pixels, and the rule choosing it differs between
Pillow releases. The native preprocessing follows the rule of the Pillow it
finds at import (a release it has no rule for takes the library path), so the
test suite can only compare it live with one release. These files keep every
generation's answer: run this script once under each release (it needs only
numpy and Pillow, so a throwaway virtual environment will do), commit the file
it writes, and give a new release its rule in pass_order_for_pillow:

    python scripts/make_resample_references.py   # writes tests/data/pillow_bilinear_<version>.npz

The input images are drawn once, from a fixed seed, into
tests/data/pillow_bilinear_inputs.npz; later runs read them from there, so
every release resizes the very same pixels.

The images straddle each rule's boundary with both orders, so a rule with a
changed factor or a release mapped to the wrong rule gives other pixels.
tests/test_resample_generations.py checks the native kernel against every file.
"""

import argparse
from pathlib import Path

import numpy as np
import PIL
from PIL import Image

# (height, width, channels, output side). The orders named are H (horizontal
# pass first) or V, for Pillow < 12.2 / 12.2-12.3 / 13.0; the three rules:
#   < 12.2:    always H
#   12.2-12.3: V when height > 100 * width and the height shrinks
#   13.0:      V when the height loses pixels, and more than twice as many as the width
CASES = [
    (301, 3, 3, 8),    # H V V   just taller than 100 widths
    (300, 3, 3, 8),    # H H V   exactly 100 widths
    (201, 2, 1, 8),    # H V V   grey
    (200, 2, 1, 8),    # H H V
    (401, 4, 3, 13),   # H V V
    (400, 4, 3, 13),   # H H V
    (17, 12, 3, 8),    # H H V   height loses 9, width 4
    (16, 12, 3, 8),    # H H H   height loses 8, width 4
    (17, 12, 1, 8),    # H H V
    (16, 12, 1, 8),    # H H H
    (41, 24, 3, 8),    # H H V   wide: 33 against 2 * 16
    (40, 24, 3, 8),    # H H H
    (28, 20, 3, 13),   # H H V
    (27, 20, 3, 13),   # H H H
    (9, 4, 3, 8),      # H H V   width grows, height shrinks by one
    (7, 4, 3, 8),      # H H H   both grow: the height loses nothing
    (7, 4, 1, 8),      # H H H
    (8, 5, 3, 8),      # one pass: height unchanged
    (5, 8, 1, 8),      # one pass: width unchanged
    (8, 8, 3, 8),      # unchanged: a copy
]


def case_name(h, w, c, side):
    return f"{h}x{w}x{c}_to_{side}"


def case_side(name):
    return int(name.rsplit("_", 1)[1])


def draw_inputs(seed=20261208):
    """BGR (or grey) images as the detector receives them, keyed by case name."""
    rng = np.random.default_rng(seed)
    images = {}
    for h, w, c, side in CASES:
        shape = (h, w) if c == 1 else (h, w, c)
        images[case_name(h, w, c, side)] = rng.integers(0, 256, shape, dtype=np.uint8)
    return images


def pillow_rgb(image, side):
    """Image.fromarray(RGB).resize((side, side), BILINEAR) as an RGB array."""
    if image.ndim == 2:
        grey = np.asarray(Image.fromarray(image).resize((side, side), Image.BILINEAR))
        return np.repeat(grey[:, :, None], 3, axis=2)
    rgb = np.ascontiguousarray(image[:, :, ::-1])
    return np.asarray(Image.fromarray(rgb).resize((side, side), Image.BILINEAR))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent.parent / "tests" / "data",
                        help="where the inputs are and the outputs go (default: tests/data)")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    inputs_path = args.dir / "pillow_bilinear_inputs.npz"
    if inputs_path.exists():
        with np.load(inputs_path) as stored:
            inputs = {name: stored[name] for name in stored.files}
    else:
        inputs = draw_inputs()
        np.savez_compressed(inputs_path, **inputs)
    out_path = args.dir / f"pillow_bilinear_{PIL.__version__}.npz"
    outputs = {name: pillow_rgb(image, case_side(name)) for name, image in inputs.items()}
    np.savez_compressed(out_path, pillow_version=np.array(PIL.__version__), **outputs)
    print(f"{out_path.name}: {len(outputs)} images resized by Pillow {PIL.__version__}")


if __name__ == "__main__":
    main()

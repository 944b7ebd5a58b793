"""The native preprocessing path against the library calls it stands in for.

The library path is forced by rebinding the module's `cv2` to a forwarding
object; both results must be identical to the last bit, for the installed
Pillow, over a seeded sweep of sizes, memory layouts and pixel patterns.
"""

import numpy as np
import pytest

from helpers import assert_same_outcome, fused_and_library, is_error, library_path


def pixels(rng, shape, pattern):
    if pattern == "random":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if pattern in (0, 255):
        return np.full(shape, pattern, np.uint8)
    yy, xx = np.indices(shape[:2])
    board = (((yy + xx) % 2) * 255).astype(np.uint8)
    return np.broadcast_to(board.reshape(board.shape + (1,) * (len(shape) - 2)), shape).copy()


def layout(rng, image, kind):
    """The same pixels (or a view of them) in another memory layout."""
    if kind == "fortran":
        return np.asfortranarray(image)
    if kind == "flipped":
        return np.ascontiguousarray(image[::-1, ::-1])[::-1, ::-1]
    if kind == "sliced":
        big = np.repeat(np.repeat(image, 2, axis=0), 3, axis=1)
        return big[::2, ::3]
    if kind == "channels-reversed" and image.ndim == 3:
        return np.ascontiguousarray(image[..., ::-1])[..., ::-1]
    if kind == "bgra" and image.ndim == 3:
        return np.concatenate([image, rng.integers(0, 256, image.shape[:2] + (1,), dtype=np.uint8)], axis=2)
    if kind == "unaligned":
        raw = np.empty(image.nbytes + 1, np.uint8)
        view = raw[1:].reshape(image.shape)
        view[...] = image
        view.flags.writeable = False
        return view
    return image


def sweep_cases(count=300, seed=20261208):
    rng = np.random.default_rng(seed)
    fixed = [(1, 1), (1, 900), (900, 1), (640, 640), (639, 641), (641, 639), (1080, 1920), (1920, 1080),
             (3000, 4000), (6401, 40), (40, 6401), (761, 700), (760, 700), (640, 1), (2, 640)]
    sizes = fixed + [tuple(int(v) for v in np.exp(rng.uniform(0, np.log(2200), 2))) for _ in range(count)]
    kinds = ["contiguous", "fortran", "flipped", "sliced", "channels-reversed", "bgra", "unaligned"]
    for i, (h, w) in enumerate(sizes):
        grey = i % 4 == 3
        shape = (h, w) if grey else (h, w, 3)
        pattern = ["random", "random", 0, 255, "checker"][i % 5]
        yield shape, pattern, kinds[i % len(kinds)], rng


def test_sweep_matches_library_exactly(dr):
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    checked = 0
    for shape, pattern, kind, rng in sweep_cases():
        image = layout(rng, pixels(rng, shape, pattern), kind)
        fused, library = fused_and_library(dr, lambda: det._preprocess(image))
        case = f"{shape} {pattern} {kind}"
        assert not is_error(fused) and not is_error(library), (case, fused, library)
        (x, sizes), (rx, rsizes) = fused, library
        assert x.dtype == rx.dtype == np.float32 and x.shape == rx.shape == (1, 3, 640, 640), case
        assert x.flags.c_contiguous and sizes.dtype == np.int64, case
        assert np.array_equal(x, rx), case
        assert np.array_equal(sizes, rsizes), case
        checked += 1
    assert checked > 300


@pytest.mark.parametrize("make", [
    lambda: np.broadcast_to(np.arange(70, dtype=np.uint8)[None, :, None], (50, 70, 3)),
    lambda: np.broadcast_to(np.uint8(7), (30, 40)),
    lambda: np.frombuffer(bytes(range(256)) * 30, np.uint8)[:60 * 40 * 3].reshape(60, 40, 3),
    lambda: np.zeros((5, 1, 3), np.uint8)[:, :0],
    lambda: np.zeros((4, 4, 2), np.uint8),
    lambda: np.zeros((4, 4, 3), np.int8),
    lambda: np.zeros((4, 4, 3), bool),
], ids=["zero-stride", "broadcast-grey", "over-bytes", "zero-width", "two-channels", "int8", "bool"])
def test_edge_inputs_have_the_library_outcome(dr, make):
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    assert_same_outcome(*fused_and_library(dr, lambda: det._preprocess(make())))


def test_rebinding_input_size_is_honoured(dr, monkeypatch):
    det = dr.DfineDetector.__new__(dr.DfineDetector)
    image = np.random.default_rng(3).integers(0, 256, (90, 120, 3), dtype=np.uint8)
    monkeypatch.setattr(dr, "_INPUT_SIZE", 320)
    x, _ = det._preprocess(image)
    with library_path(dr):
        rx, _ = det._preprocess(image)
    assert x.shape == (1, 3, 320, 320) and np.array_equal(x, rx)

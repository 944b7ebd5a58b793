"""The float16 cast rounds exact ties to even, in whole vector blocks and in the scalar tail after them."""

import numpy as np
import pytest

from helpers import fed_to_half_model as fed


def ties(rng, n):
    """float32 values exactly halfway between two normal halves; the lower one alternates even, odd."""
    lower = rng.integers(0x0400, 0x7BFC, n, endpoint=True, dtype=np.uint32)
    lower = (lower & ~np.uint32(1)) | (np.arange(n, dtype=np.uint32) & np.uint32(1))
    sign = rng.integers(0, 2, n, dtype=np.uint32)
    bits = (sign << np.uint32(31)) | ((lower << np.uint32(13)) + np.uint32(0x38000000 + 0x1000))
    return bits.view(np.float32), (sign << np.uint32(15)) | lower


# Lengths below, at and past whole blocks of 8, so that the scalar tail holds ties too.
@pytest.mark.parametrize("n", [1, 2, 3, 7, 8, 9, 15, 17, 23, 1001])
def test_exact_ties_round_to_even(dr, n):
    x, lower = ties(np.random.default_rng(n), n)
    got = fed(dr, x).view(np.uint16)
    expected = x.astype(np.float16).view(np.uint16)
    assert np.array_equal(got, expected)
    # The data are real ties: numpy keeps the even neighbour and moves up from the odd one.
    assert np.array_equal(expected, (lower + (lower & np.uint32(1))).astype(np.uint16))

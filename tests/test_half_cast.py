"""detect's cast to a float16 model's input: the native cast must give numpy's bits, or leave it to numpy."""

import numpy as np
import pytest

from helpers import fed_to_half_model


@pytest.fixture
def fed(dr):
    """Runs detect on a half-precision detector whose preprocessing returns x; gives the array fed."""
    return lambda x: fed_to_half_model(dr, x)


def bits_in_normal_half_range(rng, n):
    # Every float32 whose magnitude lies in [2**-14, 65504], ties to even included.
    magnitude = rng.integers(0x38800000, 0x477FE000, n, endpoint=True, dtype=np.uint32)
    magnitude[: n // 4] = (magnitude[: n // 4] & ~np.uint32(0x1FFF)) | np.uint32(0x1000)  # exact halfway cases
    sign = rng.integers(0, 2, n, dtype=np.uint32) << np.uint32(31)
    return (magnitude | sign).view(np.float32)


@pytest.mark.parametrize("make", [
    lambda rng: (np.arange(256, dtype=np.float32) / 255.0).reshape(1, 1, 16, 16),
    lambda rng: bits_in_normal_half_range(rng, 3 * 64 * 64).reshape(1, 3, 64, 64),
    lambda rng: np.array([0.0, -0.0, 65504.0, -65504.0, 2.0**-14, 1.0, 1 / 3], np.float32),
    lambda rng: bits_in_normal_half_range(rng, 1001),  # a length that leaves a remainder after vector blocks
], ids=["k/255", "random-normal", "bounds", "odd-length"])
def test_native_cast_gives_numpys_bits(fed, make):
    x = make(np.random.default_rng(7))
    got = fed(x)
    assert got.dtype == np.float16 and got.shape == x.shape and got.flags.c_contiguous and got is not x
    assert np.array_equal(got.view(np.uint16), x.astype(np.float16).view(np.uint16))


@pytest.mark.parametrize("values", [[np.nan, 0.5], [np.inf, 0.5], [1e-6, 0.5], [3e-8, 0.5]],
                         ids=["nan", "inf", "subnormal", "underflow"])
def test_values_outside_the_exact_range_are_numpys_cast(fed, values):
    x = np.array(values * 8, np.float32)
    assert np.array_equal(fed(x).view(np.uint16), x.astype(np.float16).view(np.uint16))


def test_overflow_warns_as_numpy_does(fed):
    with pytest.warns(RuntimeWarning, match="overflow"):
        got = fed(np.array([1e5, 0.5], np.float32))
    assert np.isinf(got[0]) and got[1] == 0.5


def test_non_contiguous_tensor_is_numpys_cast(fed):
    x = (np.arange(64, dtype=np.float32) / 64).reshape(8, 8)[:, ::2]
    got = fed(x)
    assert got.dtype == np.float16 and np.array_equal(got, x.astype(np.float16))

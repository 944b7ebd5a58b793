// float32 -> float16, bit-identical to numpy's `astype(np.float16)` wherever
// that cast raises no floating-point status: zeros and finite values whose
// magnitude lies in the normal half range [2**-14, 65504].  Plain C++, no
// Python: callers run it without the GIL and fall back to numpy otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn {

// Which conversion runs: the fastest this machine has, or one forced (the
// native tests compare them).
enum class HalfCastPath { automatic, portable, f16c };

// Whether this machine and build can run `path` (automatic and portable always can).
bool half_cast_supported(HalfCastPath path);

// Converts n values with round-to-nearest-even.  Returns false as soon as a
// value is outside the range above, or when a forced path is not supported;
// `dst` then holds an unspecified prefix.
bool float_to_half_exact(const float* src, uint16_t* dst, size_t n, HalfCastPath path = HalfCastPath::automatic);

}  // namespace quarn

// float32 -> float16, bit-identical to numpy's `astype(np.float16)` wherever
// that cast raises no floating-point status: zeros and finite values whose
// magnitude lies in the normal half range [2**-14, 65504].  Plain C++, no
// Python: callers run it without the GIL and fall back to numpy otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn {

// Converts n values with round-to-nearest-even.  Returns false as soon as a
// value is outside the range above; `dst` then holds an unspecified prefix.
bool float_to_half_exact(const float* src, uint16_t* dst, size_t n);

}  // namespace quarn

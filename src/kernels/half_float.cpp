#include "half_float.hpp"

#include <cstring>

#include "cpu_features.hpp"

#if defined(QUARN_X86_64)
#include <immintrin.h>
#define QUARN_HAVE_F16C_PATH 1
#endif

namespace quarn {
namespace {

constexpr uint32_t kMinNormalHalf = 0x38800000u;  // 2**-14 as float bits
constexpr uint32_t kMaxHalf = 0x477fe000u;        // 65504 as float bits

bool convert_portable(const float* src, uint16_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &src[i], sizeof bits);
        const uint32_t sign = (bits >> 16) & 0x8000u;
        const uint32_t magnitude = bits & 0x7fffffffu;
        if (magnitude == 0) {
            dst[i] = static_cast<uint16_t>(sign);
            continue;
        }
        if (magnitude < kMinNormalHalf || magnitude > kMaxHalf) return false;
        // Rebias the exponent (127 -> 15) and drop 13 mantissa bits; a carry
        // from rounding moves into the exponent, as it should.
        uint32_t half = (magnitude - 0x38000000u) >> 13;
        const uint32_t rest = magnitude & 0x1fffu;
        if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
        dst[i] = static_cast<uint16_t>(sign | half);
    }
    return true;
}

#if defined(QUARN_HAVE_F16C_PATH)
QUARN_TARGET_AVX2_F16C bool convert_f16c(const float* src, uint16_t* dst, size_t n) {
    const __m256i abs_mask = _mm256_set1_epi32(0x7fffffff);
    const __m256i below = _mm256_set1_epi32(static_cast<int>(kMinNormalHalf - 1));
    const __m256i above = _mm256_set1_epi32(static_cast<int>(kMaxHalf));
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(src + i);
        const __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(v), abs_mask);
        // NaN and infinity bits compare above 65504 as integers.
        const __m256i outside = _mm256_or_si256(
            _mm256_cmpgt_epi32(magnitude, above),
            _mm256_andnot_si256(_mm256_cmpeq_epi32(magnitude, zero), _mm256_cmpgt_epi32(below, magnitude)));
        if (!_mm256_testz_si256(outside, outside)) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
    return convert_portable(src + i, dst + i, n - i);
}
#endif

}  // namespace

bool half_cast_supported(HalfCastPath path) {
    switch (path) {
        case HalfCastPath::automatic:
        case HalfCastPath::portable:
            return true;
        case HalfCastPath::f16c:
#if defined(QUARN_HAVE_F16C_PATH)
            return cpu::has_avx2_f16c();
#else
            return false;
#endif
    }
    return false;
}

bool float_to_half_exact(const float* src, uint16_t* dst, size_t n, HalfCastPath path) {
    if (path == HalfCastPath::portable) return convert_portable(src, dst, n);
#if defined(QUARN_HAVE_F16C_PATH)
    if (cpu::has_avx2_f16c()) return convert_f16c(src, dst, n);
#endif
    return path == HalfCastPath::automatic && convert_portable(src, dst, n);
}

}  // namespace quarn

// AVX2 resampling kernels, chosen at run time so that the build still runs on
// any x86-64. Every product and sum is the portable kernels' int32 arithmetic,
// eight lanes at a time, so the results are identical.
//
// The horizontal pass transposes 8 source rows so that one source byte of all
// 8 rows is one 8-byte group: each tap is then a single 8-lane multiply-add
// with one broadcast weight, whatever the channel count.
#include "cpu_features.hpp"
#include "resample_bilinear_kernels.hpp"

#if defined(QUARN_X86_64)

#include <immintrin.h>

// Everything below is compiled for AVX2 and only called after the CPU check.
// Standard headers are included above so that none of their inline code is
// built for AVX2 (the linker could otherwise pick that copy for other files).
// MSVC needs no such switch: it emits AVX2 intrinsics in any function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace quarn {
namespace detail {
namespace {

// Small helpers must be inlined into the loops that call them.
#define QUARN_INLINE QUARN_ALWAYS_INLINE

static_assert(kBlockRows == 8, "one AVX2 register holds 8 int32 lanes, one per row");
static_assert(kPixelGroup == 8, "output pixels are transposed back in groups of 8");

QUARN_INLINE __m256i widen_8_bytes(const uint8_t* p) { return _mm256_cvtepu8_epi32(_mm_loadu_si64(p)); }

QUARN_INLINE __m256i multiply_add(__m256i acc, const uint8_t* p, __m256i weight) {
    return _mm256_add_epi32(acc, _mm256_mullo_epi32(widen_8_bytes(p), weight));
}

// ---------------------------------------------------------------- transposes

// Byte j of rows[r] goes to t[j * 8 + r], 32 bytes of each row at a time.
void transpose_span(const uint8_t* const rows[kBlockRows], int64_t length, uint8_t* t) {
    int64_t j = 0;
    for (; j + 32 <= length; j += 32) {
        __m256i r[kBlockRows];
        for (int i = 0; i < kBlockRows; ++i) {
            r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[i] + j));
        }
        // Within each 128-bit lane: bytes of row pairs, then 16-bit pairs of
        // pairs, then 32-bit halves; lane 0 covers bytes 0-15, lane 1 16-31.
        const __m256i a0 = _mm256_unpacklo_epi8(r[0], r[1]), a1 = _mm256_unpackhi_epi8(r[0], r[1]);
        const __m256i a2 = _mm256_unpacklo_epi8(r[2], r[3]), a3 = _mm256_unpackhi_epi8(r[2], r[3]);
        const __m256i a4 = _mm256_unpacklo_epi8(r[4], r[5]), a5 = _mm256_unpackhi_epi8(r[4], r[5]);
        const __m256i a6 = _mm256_unpacklo_epi8(r[6], r[7]), a7 = _mm256_unpackhi_epi8(r[6], r[7]);
        const __m256i b0 = _mm256_unpacklo_epi16(a0, a2), b1 = _mm256_unpackhi_epi16(a0, a2);
        const __m256i b2 = _mm256_unpacklo_epi16(a1, a3), b3 = _mm256_unpackhi_epi16(a1, a3);
        const __m256i b4 = _mm256_unpacklo_epi16(a4, a6), b5 = _mm256_unpackhi_epi16(a4, a6);
        const __m256i b6 = _mm256_unpacklo_epi16(a5, a7), b7 = _mm256_unpackhi_epi16(a5, a7);
        // c[i]: bytes 2i and 2i+1 (lane 0) and 16+2i, 17+2i (lane 1), all 8 rows each.
        const __m256i c[8] = {
            _mm256_unpacklo_epi32(b0, b4), _mm256_unpackhi_epi32(b0, b4), _mm256_unpacklo_epi32(b1, b5),
            _mm256_unpackhi_epi32(b1, b5), _mm256_unpacklo_epi32(b2, b6), _mm256_unpackhi_epi32(b2, b6),
            _mm256_unpacklo_epi32(b3, b7), _mm256_unpackhi_epi32(b3, b7),
        };
        uint8_t* out = t + j * kBlockRows;
        for (int i = 0; i < 4; ++i) {
            const __m256i low = _mm256_permute2x128_si256(c[2 * i], c[2 * i + 1], 0x20);
            const __m256i high = _mm256_permute2x128_si256(c[2 * i], c[2 * i + 1], 0x31);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i), low);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 128 + 32 * i), high);
        }
    }
    for (; j < length; ++j) {
        for (int i = 0; i < kBlockRows; ++i) t[j * kBlockRows + i] = rows[i][j];
    }
}

// v[j][r] (already shifted, 0..511) -> out[r][j0 + j] clamped to bytes, j < 8.
QUARN_INLINE void store_transposed(const int32_t (*v)[kBlockRows], uint8_t* const out[kBlockRows], int64_t j0) {
    __m256i x[8];
    for (int j = 0; j < 8; ++j) x[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(v[j]));
    // Per lane (rows 0-3, rows 4-7): 4 rows of v0..v3, then of v4..v7, as bytes.
    const __m256i q0 = _mm256_packus_epi16(_mm256_packs_epi32(x[0], x[1]), _mm256_packs_epi32(x[2], x[3]));
    const __m256i q1 = _mm256_packus_epi16(_mm256_packs_epi32(x[4], x[5]), _mm256_packs_epi32(x[6], x[7]));
    // Transpose the 4x4 bytes of each lane: [v][row] -> [row][v].
    const __m256i by_row = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9,
                                            13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i t0 = _mm256_shuffle_epi8(q0, by_row);
    const __m256i t1 = _mm256_shuffle_epi8(q1, by_row);
    // 8 bytes per row: rows 0,1 | 4,5 and rows 2,3 | 6,7.
    const __m256i rows_0145 = _mm256_unpacklo_epi32(t0, t1);
    const __m256i rows_2367 = _mm256_unpackhi_epi32(t0, t1);
    const __m128i r01 = _mm256_castsi256_si128(rows_0145);
    const __m128i r45 = _mm256_extracti128_si256(rows_0145, 1);
    const __m128i r23 = _mm256_castsi256_si128(rows_2367);
    const __m128i r67 = _mm256_extracti128_si256(rows_2367, 1);
    _mm_storeu_si64(out[0] + j0, r01);
    _mm_storeu_si64(out[1] + j0, _mm_unpackhi_epi64(r01, r01));
    _mm_storeu_si64(out[2] + j0, r23);
    _mm_storeu_si64(out[3] + j0, _mm_unpackhi_epi64(r23, r23));
    _mm_storeu_si64(out[4] + j0, r45);
    _mm_storeu_si64(out[5] + j0, _mm_unpackhi_epi64(r45, r45));
    _mm_storeu_si64(out[6] + j0, r67);
    _mm_storeu_si64(out[7] + j0, _mm_unpackhi_epi64(r67, r67));
}

// ---------------------------------------------------------------- passes

// Tap counts up to this are compile-time constants, so the tap loops unroll
// fully; reductions by up to about 3.5x need no more.
constexpr int kMaxUnrolledTaps = 8;

// Filters transposed rows: pixel x starts at t + x * pixel_bytes, channel c at
// chan_bytes[c] past it. Writes padded_out pixels of C bytes to each out row.
// TAPS is table.taps, or 0 to read it at run time.
template <int C, int TAPS>
void filter_transposed(const uint8_t* t, int64_t pixel_bytes, const int64_t* chan_bytes, const AxisTable& table,
                       uint8_t* const out[kBlockRows]) {
    alignas(32) int32_t stage[kPixelGroup * C][kBlockRows];
    int64_t offset[C];
    for (int c = 0; c < C; ++c) offset[c] = chan_bytes[c];
    const __m256i rounding = _mm256_set1_epi32(kRounding);
    const int taps = TAPS > 0 ? TAPS : table.taps;
    for (int64_t x0 = 0; x0 < table.padded_out; x0 += kPixelGroup) {
        for (int i = 0; i < kPixelGroup; ++i) {
            const int64_t xx = x0 + i;
            const uint8_t* p = t + table.start[xx] * pixel_bytes;
            const int32_t* w = table.weight + xx * taps;
            __m256i acc[C];
            for (int c = 0; c < C; ++c) acc[c] = rounding;
            for (int k = 0; k < taps; ++k, p += pixel_bytes) {
                const __m256i wk = _mm256_set1_epi32(w[k]);
                for (int c = 0; c < C; ++c) acc[c] = multiply_add(acc[c], p + offset[c], wk);
            }
            for (int c = 0; c < C; ++c) {
                _mm256_store_si256(reinterpret_cast<__m256i*>(stage[i * C + c]),
                                   _mm256_srai_epi32(acc[c], kPrecisionBits));
            }
        }
        for (int b = 0; b < C; ++b) store_transposed(stage + 8 * b, out, x0 * C + 8 * b);
    }
}

template <int C>
void filter_transposed_any_taps(const uint8_t* t, int64_t pixel_bytes, const int64_t* chan_bytes,
                                const AxisTable& table, uint8_t* const out[kBlockRows]) {
    static_assert(kMaxUnrolledTaps == 8, "one case per unrolled tap count");
    switch (table.taps) {
        case 1:
            return filter_transposed<C, 1>(t, pixel_bytes, chan_bytes, table, out);
        case 2:
            return filter_transposed<C, 2>(t, pixel_bytes, chan_bytes, table, out);
        case 3:
            return filter_transposed<C, 3>(t, pixel_bytes, chan_bytes, table, out);
        case 4:
            return filter_transposed<C, 4>(t, pixel_bytes, chan_bytes, table, out);
        case 5:
            return filter_transposed<C, 5>(t, pixel_bytes, chan_bytes, table, out);
        case 6:
            return filter_transposed<C, 6>(t, pixel_bytes, chan_bytes, table, out);
        case 7:
            return filter_transposed<C, 7>(t, pixel_bytes, chan_bytes, table, out);
        case 8:
            return filter_transposed<C, 8>(t, pixel_bytes, chan_bytes, table, out);
        default:
            return filter_transposed<C, 0>(t, pixel_bytes, chan_bytes, table, out);
    }
}

void horizontal_block(const PixelRows& in, const AxisTable& table, uint8_t* const out[kBlockRows], uint8_t* scratch) {
    int64_t pixel_bytes = 0;
    int64_t chan_bytes[kMaxChannels] = {0, 0, 0, 0};
    const ByteSpan span = byte_span(in);
    if (span.usable) {
        const uint8_t* rows[kBlockRows];
        for (int r = 0; r < kBlockRows; ++r) rows[r] = in.row[r] + span.first;
        transpose_span(rows, span.length, scratch);
        pixel_bytes = in.col_stride * kBlockRows;
        for (int c = 0; c < in.channels; ++c) {
            chan_bytes[c] = (in.chan_offset[c] - span.first) * kBlockRows;
        }
    } else {  // no usable byte span: copy channel by channel
        gather_transposed(in, scratch);
        pixel_bytes = int64_t{in.channels} * kBlockRows;
        for (int c = 0; c < in.channels; ++c) chan_bytes[c] = int64_t{c} * kBlockRows;
    }
    switch (in.channels) {
        case 1:
            return filter_transposed_any_taps<1>(scratch, pixel_bytes, chan_bytes, table, out);
        case 2:
            return filter_transposed_any_taps<2>(scratch, pixel_bytes, chan_bytes, table, out);
        case 3:
            return filter_transposed_any_taps<3>(scratch, pixel_bytes, chan_bytes, table, out);
        default:
            return filter_transposed_any_taps<4>(scratch, pixel_bytes, chan_bytes, table, out);
    }
}

// TAPS is `taps`, or 0 to read it at run time.
template <int TAPS>
void vertical_row_taps(const uint8_t* const* rows, const int32_t* weight, int taps, int64_t n, uint8_t* out) {
    if (TAPS > 0) taps = TAPS;
    const __m256i rounding = _mm256_set1_epi32(kRounding);
    // packs/packus interleave 128-bit lanes; this puts the 32 bytes back in order.
    const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int64_t j = 0;
    for (; j + 32 <= n; j += 32) {
        __m256i a0 = rounding, a1 = rounding, a2 = rounding, a3 = rounding;
        for (int k = 0; k < taps; ++k) {
            const __m256i wk = _mm256_set1_epi32(weight[k]);
            const uint8_t* p = rows[k] + j;
            a0 = multiply_add(a0, p, wk);
            a1 = multiply_add(a1, p + 8, wk);
            a2 = multiply_add(a2, p + 16, wk);
            a3 = multiply_add(a3, p + 24, wk);
        }
        const __m256i s01 =
            _mm256_packs_epi32(_mm256_srai_epi32(a0, kPrecisionBits), _mm256_srai_epi32(a1, kPrecisionBits));
        const __m256i s23 =
            _mm256_packs_epi32(_mm256_srai_epi32(a2, kPrecisionBits), _mm256_srai_epi32(a3, kPrecisionBits));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(s01, s23), in_order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), bytes);
    }
    for (; j < n; ++j) {
        int32_t acc = kRounding;
        for (int k = 0; k < taps; ++k) acc += weight[k] * rows[k][j];
        out[j] = to_byte(acc);
    }
}

void vertical_row(const uint8_t* const* rows, const int32_t* weight, int taps, int64_t n, uint8_t* out) {
    static_assert(kMaxUnrolledTaps == 8, "one case per unrolled tap count");
    switch (taps) {
        case 1:
            return vertical_row_taps<1>(rows, weight, taps, n, out);
        case 2:
            return vertical_row_taps<2>(rows, weight, taps, n, out);
        case 3:
            return vertical_row_taps<3>(rows, weight, taps, n, out);
        case 4:
            return vertical_row_taps<4>(rows, weight, taps, n, out);
        case 5:
            return vertical_row_taps<5>(rows, weight, taps, n, out);
        case 6:
            return vertical_row_taps<6>(rows, weight, taps, n, out);
        case 7:
            return vertical_row_taps<7>(rows, weight, taps, n, out);
        case 8:
            return vertical_row_taps<8>(rows, weight, taps, n, out);
        default:
            return vertical_row_taps<0>(rows, weight, taps, n, out);
    }
}

// ---------------------------------------------------------------- to float

// k / 255.0f by a correctly rounded division, equal to numpy's float32 result.
inline void store_8_floats(float* dst, __m128i bytes) {
    const __m256 v = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    _mm256_storeu_ps(dst, _mm256_div_ps(v, _mm256_set1_ps(255.0f)));
}

inline void store_16_floats(float* dst, __m128i bytes) {
    store_8_floats(dst, bytes);
    store_8_floats(dst + 8, _mm_srli_si128(bytes, 8));
}

// Shuffle masks that pick channel c of 16 BGR pixels out of the 3 vectors of
// 16 bytes holding them (-128 clears the byte).
struct SplitMasks {
    int8_t mask[3][3][16];  // [channel][vector][byte]
};

constexpr SplitMasks make_split_masks() {
    SplitMasks m{};
    for (int c = 0; c < 3; ++c) {
        for (int v = 0; v < 3; ++v) {
            for (int i = 0; i < 16; ++i) {
                const int pos = 3 * i + c - 16 * v;
                m.mask[c][v][i] = static_cast<int8_t>(pos >= 0 && pos < 16 ? pos : -128);
            }
        }
    }
    return m;
}

constexpr SplitMasks kSplitMasks = make_split_masks();

inline __m128i load_mask(const int8_t* m) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m)); }

void bytes_to_float_planes(const uint8_t* row, int64_t width, int channels, float* const dst[]) {
    int64_t x = 0;
    if (channels == 1) {
        for (; x + 16 <= width; x += 16) {
            store_16_floats(dst[0] + x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)));
        }
    } else if (channels == 3) {
        for (; x + 16 <= width; x += 16) {
            const uint8_t* p = row + 3 * x;
            const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
            for (int c = 0; c < 3; ++c) {
                const int8_t (*m)[16] = kSplitMasks.mask[c];
                const __m128i plane = _mm_or_si128(
                    _mm_or_si128(_mm_shuffle_epi8(v0, load_mask(m[0])), _mm_shuffle_epi8(v1, load_mask(m[1]))),
                    _mm_shuffle_epi8(v2, load_mask(m[2])));
                store_16_floats(dst[c] + x, plane);
            }
        }
    }
    for (; x < width; ++x) {
        for (int c = 0; c < channels; ++c) {
            dst[c][x] = static_cast<float>(row[x * channels + c]) / 255.0f;
        }
    }
}

}  // namespace
}  // namespace detail
}  // namespace quarn

#undef QUARN_INLINE

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

namespace quarn {
namespace detail {

const Kernels* avx2_kernels() {
    static constexpr Kernels kernels{horizontal_block, vertical_row, bytes_to_float_planes};
    return cpu::has_avx2() ? &kernels : nullptr;
}

}  // namespace detail
}  // namespace quarn

#else  // not x86-64

namespace quarn {
namespace detail {

const Kernels* avx2_kernels() { return nullptr; }

}  // namespace detail
}  // namespace quarn

#endif

// NEON resampling kernels for AArch64, where Advanced SIMD is part of the
// base architecture: no run-time check is needed. Every product and sum is the
// portable kernels' int32 arithmetic, four lanes at a time, so the results are
// identical.
//
// The layout is the AVX2 kernels': 8 source rows are transposed so that one
// source byte of all 8 rows is one 8-byte group, and each tap is a multiply-add
// of two 4-lane vectors by one broadcast weight.
#include "resample_bilinear_kernels.hpp"

#if defined(__aarch64__) || defined(_M_ARM64)

#include <arm_neon.h>

namespace quarn {
namespace detail {
namespace {

static_assert(kBlockRows == 8, "two 4-lane vectors hold one tap of the 8 rows");
static_assert(kPixelGroup == 8, "output pixels are transposed back in groups of 8");

inline uint8_t to_byte(int32_t acc) {
    const int32_t v = acc >> kPrecisionBits;
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Pillow's final step for 8 lanes: shift, then clamp to 0..255. The shifted
// sums fit in int16, so the two saturating narrows are exactly that clamp.
inline uint8x8_t shift_and_clamp(int32x4_t lo, int32x4_t hi) {
    const int16x8_t s =
        vcombine_s16(vqmovn_s32(vshrq_n_s32(lo, kPrecisionBits)), vqmovn_s32(vshrq_n_s32(hi, kPrecisionBits)));
    return vqmovun_s16(s);
}

inline int32x4_t widen_low(uint16x8_t v) { return vreinterpretq_s32_u32(vmovl_u16(vget_low_u16(v))); }
inline int32x4_t widen_high(uint16x8_t v) { return vreinterpretq_s32_u32(vmovl_u16(vget_high_u16(v))); }

// ---------------------------------------------------------------- transposes

// Byte j of rows[r] goes to t[j * 8 + r], 16 bytes of each row at a time.
void transpose_span(const uint8_t* const rows[kBlockRows], int64_t length, uint8_t* t) {
    int64_t j = 0;
    for (; j + 16 <= length; j += 16) {
        uint8x16_t r[kBlockRows];
        for (int i = 0; i < kBlockRows; ++i) r[i] = vld1q_u8(rows[i] + j);
        // Bytes of row pairs, then 16-bit pairs of pairs, then 32-bit halves:
        // each zip doubles the run of rows that one source byte occupies.
        uint16x8_t a[8];
        for (int i = 0; i < 4; ++i) {
            a[2 * i] = vreinterpretq_u16_u8(vzip1q_u8(r[2 * i], r[2 * i + 1]));      // bytes 0-7
            a[2 * i + 1] = vreinterpretq_u16_u8(vzip2q_u8(r[2 * i], r[2 * i + 1]));  // bytes 8-15
        }
        uint32x4_t b[8];  // b[0..3]: rows 0-3 of bytes 0-3, 4-7, 8-11, 12-15; b[4..7]: rows 4-7
        for (int h = 0; h < 2; ++h) {
            const uint16x8_t* p = a + 4 * h;
            b[4 * h + 0] = vreinterpretq_u32_u16(vzip1q_u16(p[0], p[2]));
            b[4 * h + 1] = vreinterpretq_u32_u16(vzip2q_u16(p[0], p[2]));
            b[4 * h + 2] = vreinterpretq_u32_u16(vzip1q_u16(p[1], p[3]));
            b[4 * h + 3] = vreinterpretq_u32_u16(vzip2q_u16(p[1], p[3]));
        }
        uint8_t* out = t + j * kBlockRows;
        for (int i = 0; i < 4; ++i) {  // source bytes 4i .. 4i+3, 8 rows each
            vst1q_u8(out + 32 * i, vreinterpretq_u8_u32(vzip1q_u32(b[i], b[i + 4])));
            vst1q_u8(out + 32 * i + 16, vreinterpretq_u8_u32(vzip2q_u32(b[i], b[i + 4])));
        }
    }
    for (; j < length; ++j) {
        for (int i = 0; i < kBlockRows; ++i) t[j * kBlockRows + i] = rows[i][j];
    }
}

// d[j][r] -> out[r][j0 + j], j < 8: an 8x8 byte transpose by three rounds of
// pairwise swaps (bytes, 16-bit pairs, 32-bit halves).
inline void store_transposed(const uint8x8_t d[8], uint8_t* const out[kBlockRows], int64_t j0) {
    const uint8x8x2_t t01 = vtrn_u8(d[0], d[1]), t23 = vtrn_u8(d[2], d[3]);
    const uint8x8x2_t t45 = vtrn_u8(d[4], d[5]), t67 = vtrn_u8(d[6], d[7]);
    const uint16x4x2_t u0 = vtrn_u16(vreinterpret_u16_u8(t01.val[0]), vreinterpret_u16_u8(t23.val[0]));
    const uint16x4x2_t u1 = vtrn_u16(vreinterpret_u16_u8(t01.val[1]), vreinterpret_u16_u8(t23.val[1]));
    const uint16x4x2_t u2 = vtrn_u16(vreinterpret_u16_u8(t45.val[0]), vreinterpret_u16_u8(t67.val[0]));
    const uint16x4x2_t u3 = vtrn_u16(vreinterpret_u16_u8(t45.val[1]), vreinterpret_u16_u8(t67.val[1]));
    const uint32x2x2_t r04 = vtrn_u32(vreinterpret_u32_u16(u0.val[0]), vreinterpret_u32_u16(u2.val[0]));
    const uint32x2x2_t r26 = vtrn_u32(vreinterpret_u32_u16(u0.val[1]), vreinterpret_u32_u16(u2.val[1]));
    const uint32x2x2_t r15 = vtrn_u32(vreinterpret_u32_u16(u1.val[0]), vreinterpret_u32_u16(u3.val[0]));
    const uint32x2x2_t r37 = vtrn_u32(vreinterpret_u32_u16(u1.val[1]), vreinterpret_u32_u16(u3.val[1]));
    vst1_u8(out[0] + j0, vreinterpret_u8_u32(r04.val[0]));
    vst1_u8(out[1] + j0, vreinterpret_u8_u32(r15.val[0]));
    vst1_u8(out[2] + j0, vreinterpret_u8_u32(r26.val[0]));
    vst1_u8(out[3] + j0, vreinterpret_u8_u32(r37.val[0]));
    vst1_u8(out[4] + j0, vreinterpret_u8_u32(r04.val[1]));
    vst1_u8(out[5] + j0, vreinterpret_u8_u32(r15.val[1]));
    vst1_u8(out[6] + j0, vreinterpret_u8_u32(r26.val[1]));
    vst1_u8(out[7] + j0, vreinterpret_u8_u32(r37.val[1]));
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
    uint8x8_t stage[kPixelGroup * C];  // [pixel * C + channel]: the 8 rows' bytes
    int64_t offset[C];
    for (int c = 0; c < C; ++c) offset[c] = chan_bytes[c];
    const int32x4_t rounding = vdupq_n_s32(kRounding);
    const int taps = TAPS > 0 ? TAPS : table.taps;
    for (int64_t x0 = 0; x0 < table.padded_out; x0 += kPixelGroup) {
        for (int i = 0; i < kPixelGroup; ++i) {
            const int64_t xx = x0 + i;
            const uint8_t* p = t + table.start[xx] * pixel_bytes;
            const int32_t* w = table.weight + xx * taps;
            int32x4_t lo[C], hi[C];
            for (int c = 0; c < C; ++c) lo[c] = hi[c] = rounding;
            for (int k = 0; k < taps; ++k, p += pixel_bytes) {
                const int32x4_t wk = vdupq_n_s32(w[k]);
                for (int c = 0; c < C; ++c) {
                    const uint16x8_t v = vmovl_u8(vld1_u8(p + offset[c]));
                    lo[c] = vmlaq_s32(lo[c], widen_low(v), wk);
                    hi[c] = vmlaq_s32(hi[c], widen_high(v), wk);
                }
            }
            for (int c = 0; c < C; ++c) stage[i * C + c] = shift_and_clamp(lo[c], hi[c]);
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
    const int32x4_t rounding = vdupq_n_s32(kRounding);
    int64_t j = 0;
    for (; j + 16 <= n; j += 16) {
        int32x4_t a0 = rounding, a1 = rounding, a2 = rounding, a3 = rounding;
        for (int k = 0; k < taps; ++k) {
            const int32x4_t wk = vdupq_n_s32(weight[k]);
            const uint8x16_t v = vld1q_u8(rows[k] + j);
            const uint16x8_t low = vmovl_u8(vget_low_u8(v)), high = vmovl_u8(vget_high_u8(v));
            a0 = vmlaq_s32(a0, widen_low(low), wk);
            a1 = vmlaq_s32(a1, widen_high(low), wk);
            a2 = vmlaq_s32(a2, widen_low(high), wk);
            a3 = vmlaq_s32(a3, widen_high(high), wk);
        }
        vst1q_u8(out + j, vcombine_u8(shift_and_clamp(a0, a1), shift_and_clamp(a2, a3)));
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
inline void store_16_floats(float* dst, uint8x16_t bytes) {
    const float32x4_t d = vdupq_n_f32(255.0f);
    const uint16x8_t low = vmovl_u8(vget_low_u8(bytes)), high = vmovl_u8(vget_high_u8(bytes));
    vst1q_f32(dst, vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_low_u16(low))), d));
    vst1q_f32(dst + 4, vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_high_u16(low))), d));
    vst1q_f32(dst + 8, vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_low_u16(high))), d));
    vst1q_f32(dst + 12, vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_high_u16(high))), d));
}

void bytes_to_float_planes(const uint8_t* row, int64_t width, int channels, float* const dst[]) {
    int64_t x = 0;
    if (channels == 1) {
        for (; x + 16 <= width; x += 16) store_16_floats(dst[0] + x, vld1q_u8(row + x));
    } else if (channels == 3) {
        for (; x + 16 <= width; x += 16) {
            const uint8x16x3_t planes = vld3q_u8(row + 3 * x);  // de-interleaves the channels
            for (int c = 0; c < 3; ++c) store_16_floats(dst[c] + x, planes.val[c]);
        }
    }
    for (; x < width; ++x) {
        for (int c = 0; c < channels; ++c) {
            dst[c][x] = static_cast<float>(row[x * channels + c]) / 255.0f;
        }
    }
}

}  // namespace

const Kernels* neon_kernels() {
    static constexpr Kernels kernels{horizontal_block, vertical_row, bytes_to_float_planes};
    return &kernels;
}

}  // namespace detail
}  // namespace quarn

#else  // not AArch64

namespace quarn {
namespace detail {

const Kernels* neon_kernels() { return nullptr; }

}  // namespace detail
}  // namespace quarn

#endif

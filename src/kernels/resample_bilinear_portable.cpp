// Portable resampling kernels: plain C++ for any CPU, laid out so that
// compilers can vectorise them. The SIMD kernels must match them bit for bit.
#include <cstring>

#include "resample_bilinear_kernels.hpp"

namespace quarn {
namespace detail {
namespace {

// The loops over the 8 rows have a fixed length and no dependencies, so
// compilers vectorise them wherever the target has a 32-bit vector multiply
// (NEON, SSE4.1; not baseline SSE2).
void horizontal_block(const PixelRows& in, const AxisTable& table, uint8_t* const out[kBlockRows], uint8_t* scratch) {
    gather_transposed(in, scratch);
    const int C = in.channels;
    const int64_t pixel_bytes = int64_t{C} * kBlockRows;
    for (int64_t xx = 0; xx < table.out_size; ++xx) {
        const uint8_t* window = scratch + table.start[xx] * pixel_bytes;
        const int32_t* w = table.weight + xx * table.taps;
        for (int c = 0; c < C; ++c) {
            int32_t acc[kBlockRows];
            for (int r = 0; r < kBlockRows; ++r) acc[r] = kRounding;
            const uint8_t* p = window + c * kBlockRows;
            for (int k = 0; k < table.taps; ++k, p += pixel_bytes) {
                for (int r = 0; r < kBlockRows; ++r) acc[r] += w[k] * p[r];
            }
            for (int r = 0; r < in.count; ++r) out[r][xx * C + c] = to_byte(acc[r]);
        }
    }
}

void vertical_row(const uint8_t* const* rows, const int32_t* weight, int taps, int64_t n, uint8_t* out) {
    // Tap-major over a chunk keeps the inner loop a plain multiply-add that
    // vectorises, with the accumulators in L1.
    constexpr int64_t kChunk = 512;
    int32_t acc[kChunk];
    for (int64_t j0 = 0; j0 < n; j0 += kChunk) {
        const int64_t m = n - j0 < kChunk ? n - j0 : kChunk;
        for (int64_t i = 0; i < m; ++i) acc[i] = kRounding;
        for (int k = 0; k < taps; ++k) {
            const uint8_t* src = rows[k] + j0;
            const int32_t w = weight[k];
            for (int64_t i = 0; i < m; ++i) acc[i] += w * src[i];
        }
        for (int64_t i = 0; i < m; ++i) out[j0 + i] = to_byte(acc[i]);
    }
}

// k / 255.0f by division, as numpy computes it; multiplying by 1/255.0f
// would be one ulp off for about half of the values.
struct ByteToFloat {
    float value[256];
};

constexpr ByteToFloat make_byte_to_float() {
    ByteToFloat table{};
    for (int k = 0; k < 256; ++k) table.value[k] = static_cast<float>(k) / 255.0f;
    return table;
}

constexpr ByteToFloat kByteToFloat = make_byte_to_float();

void bytes_to_float_planes(const uint8_t* row, int64_t width, int channels, float* const dst[]) {
    for (int c = 0; c < channels; ++c) {
        float* plane = dst[c];
        for (int64_t x = 0; x < width; ++x) plane[x] = kByteToFloat.value[row[x * channels + c]];
    }
}

}  // namespace

PixelRows compact_rows(const uint8_t* const* rows, int count, int64_t width, int channels) {
    PixelRows out;
    for (int r = 0; r < kBlockRows; ++r) out.row[r] = rows[r];
    out.count = count;
    out.width = width;
    out.channels = channels;
    out.col_stride = channels;
    for (int c = 0; c < kMaxChannels; ++c) out.chan_offset[c] = c;
    return out;
}

const Kernels& portable_kernels() {
    static constexpr Kernels kernels{horizontal_block, vertical_row, bytes_to_float_planes};
    return kernels;
}

}  // namespace detail
}  // namespace quarn

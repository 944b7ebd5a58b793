// Internal interface between the resampling driver and its per-instruction-set
// kernels. All arithmetic is Pillow's: int32 weights with 22 fractional bits,
// an accumulator starting at half a unit, an arithmetic shift and a clamp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn {
namespace detail {

constexpr int kPrecisionBits = 22;
constexpr int32_t kRounding = int32_t{1} << (kPrecisionBits - 1);
constexpr int kMaxChannels = 4;

// The horizontal kernels work on this many rows at once.
constexpr int kBlockRows = 8;

// Output pixels of a horizontal pass are produced in groups of this many, so
// its table and output rows are padded to a multiple of it.
constexpr int64_t kPixelGroup = 8;

inline int64_t round_up_to_group(int64_t n) { return (n + kPixelGroup - 1) / kPixelGroup * kPixelGroup; }

// Pillow's final step: an arithmetic shift, then a clamp to 0..255.
inline uint8_t to_byte(int32_t acc) {
    const int32_t v = acc >> kPrecisionBits;
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Weights of one axis. Every window has the same number of taps: windows are
// trimmed of zero weights, padded with zeros and shifted to stay inside the
// source, none of which changes an integer sum.
struct AxisTable {
    int64_t in_size = 0;
    int64_t out_size = 0;
    int64_t padded_out = 0;  // out_size, rounded up for the horizontal pass
    int taps = 0;
    int32_t* start = nullptr;   // [padded_out] first source index of each window
    int32_t* weight = nullptr;  // [padded_out * taps]
};

// Up to kBlockRows rows of one pixel layout. Rows past `count` repeat a valid
// row so that kernels may process a full block.
struct PixelRows {
    const uint8_t* row[kBlockRows];
    int count;
    int64_t width;  // pixels
    int channels;
    int64_t col_stride;                 // bytes between pixels, any sign
    int64_t chan_offset[kMaxChannels];  // byte offset of each channel within a pixel
};

// Rows of `channels` interleaved bytes per pixel, no gaps.
PixelRows compact_rows(const uint8_t* const* rows, int count, int64_t width, int channels);

// Copies channel c of pixel x of row r to t[(x * channels + c) * kBlockRows + r],
// so that one tap of all the rows is kBlockRows adjacent bytes.
inline void gather_transposed(const PixelRows& in, uint8_t* t) {
    const int C = in.channels;
    for (int r = 0; r < kBlockRows; ++r) {
        for (int64_t x = 0; x < in.width; ++x) {
            const uint8_t* pixel = in.row[r] + x * in.col_stride;
            for (int c = 0; c < C; ++c) t[(x * C + c) * kBlockRows + r] = pixel[in.chan_offset[c]];
        }
    }
}

struct Kernels {
    // Resamples in.count rows horizontally into out[r] (padded_out pixels of
    // in.channels bytes each; out[r] for r >= in.count is scratch).
    // `scratch` holds horizontal_scratch_bytes(in) bytes.
    void (*horizontal_block)(const PixelRows& in, const AxisTable& table, uint8_t* const out[kBlockRows],
                             uint8_t* scratch);
    // out[j] = Pillow-rounded sum over k < taps of weight[k] * rows[k][j], j < n.
    void (*vertical_row)(const uint8_t* const* rows, const int32_t* weight, int taps, int64_t n, uint8_t* out);
    // Splits `width` pixels of `channels` interleaved bytes into dst[c] as k / 255.0f.
    void (*bytes_to_float_planes)(const uint8_t* row, int64_t width, int channels, float* const dst[]);
};

// Where the bytes of each row lie when pixels are at most 8 bytes apart with
// every channel inside its pixel: such rows can be transposed as plain byte
// spans, without gathering channel by channel.
struct ByteSpan {
    bool usable = false;
    int64_t first = 0;   // offset of the span from the row pointer
    int64_t length = 0;  // bytes from pixel 0's first used byte to the last pixel's last
};

inline ByteSpan byte_span(const PixelRows& in) {
    ByteSpan span;
    if (in.col_stride < 1 || in.col_stride > 8) return span;
    int64_t lo = in.chan_offset[0], hi = in.chan_offset[0];
    for (int c = 1; c < in.channels; ++c) {
        lo = in.chan_offset[c] < lo ? in.chan_offset[c] : lo;
        hi = in.chan_offset[c] > hi ? in.chan_offset[c] : hi;
    }
    if (hi - lo >= in.col_stride) return span;
    span.usable = true;
    span.first = lo;
    span.length = (in.width - 1) * in.col_stride + (hi - lo) + 1;
    return span;
}

// Scratch bytes a horizontal_block call needs for `in`: a transposed copy of
// its rows, either of their byte spans or of their packed channels, with
// kBlockRows bytes per source byte (enough for every kernel set).
inline size_t horizontal_scratch_bytes(const PixelRows& in) {
    const ByteSpan span = byte_span(in);
    const int64_t packed = in.width * in.channels;
    const int64_t bytes_per_row = span.usable && span.length > packed ? span.length : packed;
    return static_cast<size_t>(bytes_per_row) * kBlockRows;
}

const Kernels& portable_kernels();

// nullptr when the build or the CPU has no AVX2.
const Kernels* avx2_kernels();

// nullptr unless built for AArch64, where NEON is always present.
const Kernels* neon_kernels();

}  // namespace detail
}  // namespace quarn

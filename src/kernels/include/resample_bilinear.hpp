// Bit-exact reproduction of Pillow's 8-bit BILINEAR Image.resize, and the
// detector's input preprocessing built on it. Plain C++17: no Python here, so
// every function may run with the GIL released and from several threads.
#pragma once

#include <cstdint>
#include <optional>

namespace quarn {

// An 8-bit image of any strides, in bytes; strides may be negative or zero.
struct ImageView {
    const uint8_t* data;  // address of pixel (0, 0), channel 0
    int64_t height, width;
    int channels;  // 1 to 4; the preprocessing takes 1 (grey), 3 (BGR), 4 (BGRA, alpha ignored)
    int64_t row_stride, col_stride, chan_stride;
};

// When both axes change, Pillow rounds to 8 bits between its two passes, so
// which pass runs first changes the result. The rule moved between releases.
enum class PassOrder {
    horizontal_first,                       // Pillow 9.0 to 12.1: always horizontal, then vertical
    vertical_first_if_tall,                 // Pillow 12.2, 12.3: height > 100 * width and the height shrinks
    vertical_first_if_height_shrinks_more,  // Pillow 13.0: the height loses more than
                                            // twice as many pixels as the width
};

// The releases whose rule is known and tested against their own output.
constexpr const char kKnownPillowReleases[] = "9.0 to 12.3, 13.0";

// The order used by a given Pillow release; none for a release outside
// kKnownPillowReleases, whose order may have moved again.
std::optional<PassOrder> pass_order_for_pillow(int major, int minor);

enum class SimdLevel { automatic, portable, avx2, neon };

// Whether this machine and build can run `level` (automatic and portable always can).
bool simd_supported(SimdLevel level);

// The code path a request runs: automatic becomes the fastest one this
// machine and build support (avx2 on x86-64 CPUs with AVX2, neon on AArch64,
// else portable); a forced level stays as it is.
SimdLevel resolve_simd_level(SimdLevel level);

struct PreprocessOptions {
    PassOrder pass_order = PassOrder::vertical_first_if_height_shrinks_more;  // Pillow 13.0
    SimdLevel simd = SimdLevel::automatic;  // portable, avx2 or neon force one code path
};

// BGR/BGRA/grey -> RGB -> Pillow BILINEAR resize to out_size x out_size ->
// float32 k/255 -> channel planes R, G, B. `out` must hold 3*out_size*out_size
// floats (C-contiguous). Returns false only on bad arguments (including
// 2 channels) or a forced SimdLevel this machine lacks.
bool preprocess_bgr_to_chw(const ImageView& src, int out_size, float* out, const PreprocessOptions& opt = {});

// As preprocess_bgr_to_chw, but writes only output rows [row_begin, row_end)
// of each plane and leaves the rest of `out` untouched, so that several
// threads can share one image; the rows equal those of the whole-image call.
bool preprocess_bgr_to_chw_rows(const ImageView& src, int out_size, int row_begin, int row_end, float* out,
                                const PreprocessOptions& opt = {});

}  // namespace quarn

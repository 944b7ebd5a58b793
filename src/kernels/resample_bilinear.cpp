// Pillow-exact BILINEAR resizing: weights, pass planning and the row-streaming
// driver. The per-instruction-set kernels live in resample_bilinear_*.cpp.
//
// Pillow rounds each pass to 8 bits, so the passes, their order and the exact
// double-precision weight arithmetic are all reproduced here; only the order of
// integer additions differs, which cannot change an int32 sum that never
// overflows.
#include "resample_bilinear.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "resample_bilinear_kernels.hpp"

// Under AddressSanitizer the workspace's regions are separated by poisoned
// gaps, so that an overrun of one region is reported instead of silently
// landing in the next.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_GUARD_WORKSPACE 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUARN_GUARD_WORKSPACE 1
#endif
#if defined(QUARN_GUARD_WORKSPACE)
#include <sanitizer/asan_interface.h>
#endif

namespace quarn {
namespace {

using detail::AxisTable;
using detail::kBlockRows;
using detail::Kernels;
using detail::PixelRows;

// ---------------------------------------------------------------- weights

// One axis of Pillow's precompute_coeffs for the triangle filter, with the
// default box (0, 0, width, height), in the same double operations and order.
class AxisGeometry {
public:
    AxisGeometry(int64_t in_size, int64_t out_size) : in_size_(in_size) {
        // Pillow's box edges are C floats.
        const double extent = static_cast<double>(static_cast<float>(in_size));
        scale_ = extent / static_cast<double>(out_size);
        const double filterscale = scale_ < 1.0 ? 1.0 : scale_;
        support_ = 1.0 * filterscale;
        inv_filterscale_ = 1.0 / filterscale;
    }

    // Upper bound on any window's length (Pillow's ksize, capped by the source).
    int64_t max_window() const {
        const int64_t ksize = static_cast<int64_t>(std::ceil(support_)) * 2 + 1;
        return ksize < in_size_ ? ksize : in_size_;
    }

    // Fixed-point weights of output i, written to w[0..n); returns the source
    // index of w[0]. Each weight is rounded on its own, as Pillow does.
    int64_t window(int64_t i, int32_t* w, int64_t* n) const {
        const double center = 0.0 + (static_cast<double>(i) + 0.5) * scale_;
        int64_t lo = static_cast<int64_t>(center - support_ + 0.5);
        int64_t hi = static_cast<int64_t>(center + support_ + 0.5);
        if (lo < 0) lo = 0;
        if (hi > in_size_) hi = in_size_;
        *n = hi - lo;
        double sum = 0.0;
        for (int64_t x = 0; x < *n; ++x) sum += raw_weight(lo + x, center);
        for (int64_t x = 0; x < *n; ++x) {
            double k = raw_weight(lo + x, center);
            if (sum != 0.0) k /= sum;
            const double scaled = k * static_cast<double>(int32_t{1} << detail::kPrecisionBits);
            w[x] = static_cast<int32_t>(k < 0 ? scaled - 0.5 : scaled + 0.5);
        }
        return lo;
    }

private:
    static double triangle(double t) {
        if (t < 0.0) t = -t;
        return t < 1.0 ? 1.0 - t : 0.0;
    }

    double raw_weight(int64_t x, double center) const {
        // Rounded on its own: fused into the triangle's subtraction (an FMA on
        // targets that have one) it would change some weights, and Pillow's
        // x86-64 builds never fuse. The other products here are exact.
        const volatile double t = (static_cast<double>(x) - center + 0.5) * inv_filterscale_;
        return triangle(t);
    }

    int64_t in_size_;
    double scale_ = 0.0, support_ = 0.0, inv_filterscale_ = 0.0;
};

// Fills `table` (its weight array holding padded_out * g.max_window() values)
// and sets table.taps. Each window is cut to its non-zero weights, then all are
// widened with zeros to the longest, moved back where they would overrun the
// source.
void build_table(const AxisGeometry& g, AxisTable& table, int32_t* counts) {
    const int64_t bound = g.max_window();
    int64_t taps = 1;
    for (int64_t i = 0; i < table.out_size; ++i) {
        int32_t* w = table.weight + i * bound;
        int64_t n = 0;
        const int64_t lo = g.window(i, w, &n);
        int64_t first = 0, end = n;
        while (first < end && w[first] == 0) ++first;
        while (end > first && w[end - 1] == 0) --end;
        std::memmove(w, w + first, sizeof(int32_t) * static_cast<size_t>(end - first));
        table.start[i] = static_cast<int32_t>(first < end ? lo + first : 0);
        counts[i] = static_cast<int32_t>(end - first);
        taps = end - first > taps ? end - first : taps;
    }
    // Repack from stride `bound` to stride `taps` (<= bound, so row i never
    // overwrites a later row before it is read).
    table.taps = static_cast<int>(taps);
    for (int64_t i = 0; i < table.padded_out; ++i) {
        int32_t* row = table.weight + i * taps;
        if (i >= table.out_size) {  // padding outputs: all-zero weights
            table.start[i] = 0;
            std::memset(row, 0, sizeof(int32_t) * static_cast<size_t>(taps));
            continue;
        }
        const int64_t first = table.start[i];
        const int64_t start = first < table.in_size - taps ? first : table.in_size - taps;
        const int64_t shift = first - start;
        const int64_t count = counts[i];
        std::memmove(row + shift, table.weight + i * bound, sizeof(int32_t) * static_cast<size_t>(count));
        std::memset(row, 0, sizeof(int32_t) * static_cast<size_t>(shift));
        std::memset(row + shift + count, 0, sizeof(int32_t) * static_cast<size_t>(taps - shift - count));
        table.start[i] = static_cast<int32_t>(start);
    }
}

// ---------------------------------------------------------------- planning

bool vertical_pass_first(PassOrder order, int64_t in_h, int64_t in_w, int64_t out_h, int64_t out_w) {
    switch (order) {
        case PassOrder::horizontal_first:
            return false;
        case PassOrder::vertical_first_if_tall:
            return in_h > in_w * 100 && out_h < in_h;
        case PassOrder::vertical_first_if_height_shrinks_more:
            return in_h - out_h > 0 && in_h - out_h > (in_w - out_w) * 2;
    }
    return false;
}

struct Plan {
    ImageView src{};
    int channels = 0;  // channels resampled (alpha of BGRA dropped by the preprocessing)
    int64_t out_h = 0, out_w = 0;
    bool need_h = false, need_v = false, vertical_first = false;
};

Plan make_plan(const ImageView& src, int channels, int64_t out_h, int64_t out_w, PassOrder order) {
    Plan p;
    p.src = src;
    p.channels = channels;
    p.out_h = out_h;
    p.out_w = out_w;
    p.need_h = out_w != src.width;
    p.need_v = out_h != src.height;
    p.vertical_first = p.need_h && p.need_v && vertical_pass_first(order, src.height, src.width, out_h, out_w);
    return p;
}

// Pillow keeps sizes in C ints.
bool valid_view(const ImageView& v) {
    constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
    return v.data != nullptr && v.height >= 1 && v.width >= 1 && v.height <= kMaxSide && v.width <= kMaxSide &&
           v.channels >= 1 && v.channels <= detail::kMaxChannels;
}

// ---------------------------------------------------------------- workspace

// Byte offsets of the regions of the single per-call workspace allocation.
class Layout {
public:
    static constexpr size_t kAlign = 64;

    size_t add(size_t bytes) {
        const size_t at = total_;
        total_ += round_up(bytes) + kGuard;
        if (regions_ < kMaxRegions) ends_[regions_++] = at + bytes;
        return at;
    }

    size_t total() const { return total_ + kAlign; }  // room to align the base

    // Marks the bytes between regions as unusable (only under ASan).
    void guard(uint8_t* base) const {
#if defined(QUARN_GUARD_WORKSPACE)
        for (int i = 0; i < regions_; ++i) {
            const size_t next = round_up(ends_[i]) + kGuard;
            ASAN_POISON_MEMORY_REGION(base + ends_[i], next - ends_[i]);
        }
#else
        (void)base;
#endif
    }

private:
    static size_t round_up(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }
#if defined(QUARN_GUARD_WORKSPACE)
    static constexpr size_t kGuard = kAlign;
#else
    static constexpr size_t kGuard = 0;
#endif
    static constexpr int kMaxRegions = 16;
    size_t total_ = 0;
    size_t ends_[kMaxRegions] = {};
    int regions_ = 0;
};

// ---------------------------------------------------------------- driver

// Streams output rows from the source: each pass keeps only the few rows the
// next one still needs, so nothing image-sized is ever held.
class Resampler {
public:
    Resampler(const Plan& plan, const Kernels& kernels) : plan_(plan), k_(kernels) {
        const ImageView& s = plan.src;
        for (int c = 0; c < plan.channels; ++c) chan_offset_[c] = c * s.chan_stride;
        source_is_compact_ = s.col_stride == plan.channels && (plan.channels == 1 || s.chan_stride == 1);
        allocate();
    }

    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    ~Resampler() {
#if defined(QUARN_GUARD_WORKSPACE)
        ASAN_UNPOISON_MEMORY_REGION(workspace_.data(), workspace_.size());
#endif
    }

    template <class Sink>
    void run(int64_t row_begin, int64_t row_end, Sink& sink) {
        if (plan_.need_h && plan_.need_v) {
            if (plan_.vertical_first) {
                run_vertical_then_horizontal(row_begin, row_end, sink);
            } else {
                run_horizontal_then_vertical(row_begin, row_end, sink);
            }
        } else if (plan_.need_h) {
            run_horizontal_only(row_begin, row_end, sink);
        } else if (plan_.need_v) {
            run_vertical_only(row_begin, row_end, sink);
        } else {
            for (int64_t y = row_begin; y < row_end; ++y) sink.put(y, compact_source_row(y));
        }
    }

private:
    // Byte offsets of the workspace's regions from its aligned base.
    struct Regions {
        size_t h_start, h_weight, v_start, v_weight, counts, tap_rows, scratch;
        size_t src_ring, slot_rows, ring, mid, final_rows, spare;
    };

    // One allocation holds both weight tables and every row buffer.
    void allocate() {
        const Plan& p = plan_;
        const AxisGeometry gh(p.src.width, p.out_w), gv(p.src.height, p.out_h);
        size_tables();
        const int64_t h_bound = p.need_h ? gh.max_window() : 0;
        const int64_t v_bound = p.need_v ? gv.max_window() : 0;
        size_rings(v_bound);

        Layout layout;
        const Regions at = lay_out(layout, h_bound, v_bound);
        workspace_.resize(layout.total());
        uint8_t* base = workspace_.data();
        base += (Layout::kAlign - reinterpret_cast<uintptr_t>(base) % Layout::kAlign) % Layout::kAlign;
        layout.guard(base);
        place(base, at);

        int32_t* count_scratch = reinterpret_cast<int32_t*>(base + at.counts);
        if (p.need_h) build_table(gh, h_, count_scratch);
        if (p.need_v) build_table(gv, v_, count_scratch);
    }

    // The horizontal pass makes whole pixel groups, so its outputs are padded
    // to a whole number of groups; the vertical pass's are not.
    void size_tables() {
        h_.in_size = plan_.src.width;
        h_.out_size = plan_.out_w;
        h_.padded_out = detail::round_up_to_group(plan_.out_w);
        v_.in_size = plan_.src.height;
        v_.out_size = plan_.out_h;
        v_.padded_out = plan_.out_h;
    }

    // Rings hold a whole vertical window (`v_bound` is at least its taps); the
    // horizontal one also the rest of the block being produced.
    void size_rings(int64_t v_bound) {
        const Plan& p = plan_;
        source_ring_size_ = source_is_compact_ ? 0 : (p.need_v ? v_bound : 1);
        ring_rows_ = p.vertical_first || !p.need_v ? 0 : v_bound + kBlockRows;
    }

    // Reserves each region in `layout`; a region a pass does not need is empty.
    Regions lay_out(Layout& layout, int64_t h_bound, int64_t v_bound) const {
        const Plan& p = plan_;
        const int64_t C = p.channels;
        // Rows the horizontal pass reads: the source's, or the vertical pass's.
        const PixelRows h_input = p.vertical_first ? mid_rows(1) : source_rows(0, 1);
        const int64_t out_row_bytes = h_.padded_out * C;
        Regions at;
        at.h_start = layout.add(sizeof(int32_t) * h_.padded_out);
        at.h_weight = layout.add(sizeof(int32_t) * h_.padded_out * h_bound);
        at.v_start = layout.add(sizeof(int32_t) * v_.padded_out);
        at.v_weight = layout.add(sizeof(int32_t) * v_.padded_out * v_bound);
        at.counts = layout.add(sizeof(int32_t) * std::max(h_.padded_out, v_.padded_out));
        at.tap_rows = layout.add(sizeof(const uint8_t*) * v_bound);
        at.scratch = layout.add(p.need_h ? detail::horizontal_scratch_bytes(h_input) : 0);
        at.src_ring = layout.add(source_ring_size_ * p.src.width * C);
        at.slot_rows = layout.add(sizeof(int64_t) * source_ring_size_);
        at.ring = layout.add(ring_rows_ * out_row_bytes);
        at.mid = layout.add(p.vertical_first ? kBlockRows * p.src.width * C : 0);
        // Final rows: a block from a horizontal pass, or one row from a vertical one.
        at.final_rows = layout.add(kBlockRows * out_row_bytes);
        at.spare = layout.add(out_row_bytes);
        return at;
    }

    // Points every buffer at its region of the workspace starting at `base`;
    // the source ring starts with no row in any slot.
    void place(uint8_t* base, const Regions& at) {
        h_.start = reinterpret_cast<int32_t*>(base + at.h_start);
        h_.weight = reinterpret_cast<int32_t*>(base + at.h_weight);
        v_.start = reinterpret_cast<int32_t*>(base + at.v_start);
        v_.weight = reinterpret_cast<int32_t*>(base + at.v_weight);
        scratch_ = base + at.scratch;
        tap_rows_ = reinterpret_cast<const uint8_t**>(base + at.tap_rows);
        source_ring_ = base + at.src_ring;
        slot_row_ = reinterpret_cast<int64_t*>(base + at.slot_rows);
        ring_ = base + at.ring;
        mid_ = base + at.mid;
        final_ = base + at.final_rows;
        spare_ = base + at.spare;
        for (int64_t s = 0; s < source_ring_size_; ++s) slot_row_[s] = -1;
    }

    // ---- row sources

    const uint8_t* source_row_address(int64_t y) const { return plan_.src.data + y * plan_.src.row_stride; }

    PixelRows source_rows(int64_t y0, int count) const {
        PixelRows rows;
        for (int r = 0; r < kBlockRows; ++r) {
            rows.row[r] = source_row_address(y0 + (r < count ? r : count - 1));
        }
        rows.count = count;
        rows.width = plan_.src.width;
        rows.channels = plan_.channels;
        rows.col_stride = plan_.src.col_stride;
        for (int c = 0; c < detail::kMaxChannels; ++c) rows.chan_offset[c] = chan_offset_[c];
        return rows;
    }

    uint8_t* mid_row(int r) const { return mid_ + r * plan_.src.width * plan_.channels; }

    PixelRows mid_rows(int count) const {
        const uint8_t* rows[kBlockRows];
        for (int r = 0; r < kBlockRows; ++r) rows[r] = mid_row(r < count ? r : count - 1);
        return detail::compact_rows(rows, count, plan_.src.width, plan_.channels);
    }

    // Source row y with its channels packed; strided sources are copied into a
    // ring holding the rows of the current vertical window.
    const uint8_t* compact_source_row(int64_t y) {
        if (source_is_compact_) return source_row_address(y);
        const int64_t slot = y % source_ring_size_;
        uint8_t* dst = source_ring_ + slot * plan_.src.width * plan_.channels;
        if (slot_row_[slot] != y) {
            pack_source_row(y, dst);
            slot_row_[slot] = y;
        }
        return dst;
    }

    void pack_source_row(int64_t y, uint8_t* dst) const {
        const uint8_t* row = source_row_address(y);
        const int C = plan_.channels;
        const int64_t step = plan_.src.col_stride;
        for (int64_t x = 0; x < plan_.src.width; ++x) {
            for (int c = 0; c < C; ++c) dst[x * C + c] = row[x * step + chan_offset_[c]];
        }
    }

    uint8_t* final_row(int r) const { return final_ + r * h_.padded_out * plan_.channels; }

    // ---- passes

    // One output row of the vertical pass over the compact rows row(y).
    template <class RowAt>
    void vertical_row(int64_t yy, int64_t width, RowAt row, uint8_t* out) {
        const int64_t start = v_.start[yy];
        for (int k = 0; k < v_.taps; ++k) tap_rows_[k] = row(start + k);
        k_.vertical_row(tap_rows_, v_.weight + yy * v_.taps, v_.taps, width * plan_.channels, out);
    }

    void horizontal_block(const PixelRows& in, uint8_t* const out[kBlockRows]) {
        k_.horizontal_block(in, h_, out, scratch_);
    }

    // Output pointers for a horizontal block: rows past `count` go to a spare row.
    void block_outputs(uint8_t* (&out)[kBlockRows], int count, uint8_t* first_rows) const {
        const int64_t bytes = h_.padded_out * plan_.channels;
        for (int r = 0; r < kBlockRows; ++r) out[r] = r < count ? first_rows + r * bytes : spare_;
    }

    template <class Sink>
    void run_horizontal_only(int64_t row_begin, int64_t row_end, Sink& sink) {
        for (int64_t y0 = row_begin; y0 < row_end; y0 += kBlockRows) {
            const int count = static_cast<int>(std::min<int64_t>(kBlockRows, row_end - y0));
            uint8_t* out[kBlockRows];
            block_outputs(out, count, final_);
            horizontal_block(source_rows(y0, count), out);
            for (int r = 0; r < count; ++r) sink.put(y0 + r, final_row(r));
        }
    }

    template <class Sink>
    void run_vertical_only(int64_t row_begin, int64_t row_end, Sink& sink) {
        for (int64_t yy = row_begin; yy < row_end; ++yy) {
            vertical_row(yy, plan_.src.width, [this](int64_t y) { return compact_source_row(y); }, final_);
            sink.put(yy, final_);
        }
    }

    // Pillow's usual order: horizontal rows are produced in blocks, into a
    // ring that always holds the current vertical window.
    template <class Sink>
    void run_horizontal_then_vertical(int64_t row_begin, int64_t row_end, Sink& sink) {
        const int64_t row_bytes = h_.padded_out * plan_.channels;
        auto ring_row = [&](int64_t y) { return ring_ + (y % ring_rows_) * row_bytes; };
        int64_t next = v_.start[row_begin];  // first source row not yet resampled
        for (int64_t yy = row_begin; yy < row_end; ++yy) {
            const int64_t first = v_.start[yy];
            const int64_t end = first + v_.taps;
            if (next < first) next = first;
            while (next < end) {
                const int count = static_cast<int>(std::min<int64_t>(kBlockRows, plan_.src.height - next));
                uint8_t* out[kBlockRows];
                for (int r = 0; r < kBlockRows; ++r) out[r] = r < count ? ring_row(next + r) : spare_;
                horizontal_block(source_rows(next, count), out);
                next += count;
            }
            vertical_row(yy, h_.out_size, ring_row, final_);
            sink.put(yy, final_);
        }
    }

    // Pillow 12.2+ for shrinking heights: vertical rows in blocks, each block
    // then resampled horizontally.
    template <class Sink>
    void run_vertical_then_horizontal(int64_t row_begin, int64_t row_end, Sink& sink) {
        for (int64_t y0 = row_begin; y0 < row_end; y0 += kBlockRows) {
            const int count = static_cast<int>(std::min<int64_t>(kBlockRows, row_end - y0));
            for (int r = 0; r < count; ++r) {
                vertical_row(y0 + r, plan_.src.width, [this](int64_t y) { return compact_source_row(y); }, mid_row(r));
            }
            uint8_t* out[kBlockRows];
            block_outputs(out, count, final_);
            horizontal_block(mid_rows(count), out);
            for (int r = 0; r < count; ++r) sink.put(y0 + r, final_row(r));
        }
    }

    const Plan& plan_;
    const Kernels& k_;
    int64_t chan_offset_[detail::kMaxChannels] = {0, 0, 0, 0};
    bool source_is_compact_ = false;
    AxisTable h_, v_;
    std::vector<uint8_t> workspace_;
    uint8_t* scratch_ = nullptr;
    const uint8_t** tap_rows_ = nullptr;
    uint8_t* source_ring_ = nullptr;
    int64_t source_ring_size_ = 0;
    int64_t* slot_row_ = nullptr;
    uint8_t* ring_ = nullptr;
    int64_t ring_rows_ = 0;
    uint8_t* mid_ = nullptr;
    uint8_t* final_ = nullptr;
    uint8_t* spare_ = nullptr;
};

// ---------------------------------------------------------------- sinks

// Writes a resampled BGR or grey row into the R, G, B float planes.
class FloatPlaneSink {
public:
    FloatPlaneSink(float* out, int64_t size, int channels, const Kernels& k)
        : out_(out), size_(size), channels_(channels), k_(k) {}

    void put(int64_t y, const uint8_t* row) {
        const int64_t plane = size_ * size_;
        float* r = out_ + y * size_;
        float* g = r + plane;
        float* b = g + plane;
        if (channels_ == 1) {
            float* const dst[1] = {r};
            k_.bytes_to_float_planes(row, size_, 1, dst);
            std::memcpy(g, r, sizeof(float) * static_cast<size_t>(size_));
            std::memcpy(b, r, sizeof(float) * static_cast<size_t>(size_));
        } else {
            float* const dst[3] = {b, g, r};  // source channels are B, G, R
            k_.bytes_to_float_planes(row, size_, 3, dst);
        }
    }

private:
    float* out_;
    int64_t size_;
    int channels_;
    const Kernels& k_;
};

// ---------------------------------------------------------------- dispatch

// Null when this machine or build lacks the path.
const Kernels* select_kernels(SimdLevel level) {
    switch (resolve_simd_level(level)) {
        case SimdLevel::portable:
            return &detail::portable_kernels();
        case SimdLevel::avx2:
            return detail::avx2_kernels();
        case SimdLevel::neon:
            return detail::neon_kernels();
        case SimdLevel::automatic:
            break;  // resolved above
    }
    return nullptr;
}

}  // namespace

std::optional<PassOrder> pass_order_for_pillow(int major, int minor) {
    if (major == 13 && minor == 0) return PassOrder::vertical_first_if_height_shrinks_more;
    if (major == 12 && (minor == 2 || minor == 3)) return PassOrder::vertical_first_if_tall;
    if ((major >= 9 && major <= 11) || (major == 12 && minor <= 1)) return PassOrder::horizontal_first;
    return std::nullopt;
}

SimdLevel resolve_simd_level(SimdLevel level) {
    if (level != SimdLevel::automatic) return level;
    // At most one of these exists in a given build.
    if (detail::avx2_kernels()) return SimdLevel::avx2;
    if (detail::neon_kernels()) return SimdLevel::neon;
    return SimdLevel::portable;
}

bool simd_supported(SimdLevel level) { return select_kernels(level) != nullptr; }

bool preprocess_bgr_to_chw_rows(const ImageView& src, int out_size, int row_begin, int row_end, float* out,
                                const PreprocessOptions& opt) {
    const Kernels* kernels = select_kernels(opt.simd);
    if (kernels == nullptr || !valid_view(src) || src.channels == 2 || out == nullptr || out_size < 1 ||
        row_begin < 0 || row_begin > row_end || row_end > out_size) {
        return false;
    }
    if (row_begin == row_end) return true;
    const int channels = src.channels == 1 ? 1 : 3;  // BGRA: alpha is not used
    const Plan plan = make_plan(src, channels, out_size, out_size, opt.pass_order);
    Resampler resampler(plan, *kernels);
    FloatPlaneSink sink(out, out_size, channels, *kernels);
    resampler.run(row_begin, row_end, sink);
    return true;
}

bool preprocess_bgr_to_chw(const ImageView& src, int out_size, float* out, const PreprocessOptions& opt) {
    return preprocess_bgr_to_chw_rows(src, out_size, 0, out_size, out, opt);
}

}  // namespace quarn

// The resampler's instruction-set paths must agree bit for bit.
//
// The Python tests compare the machine's fastest path with Pillow itself;
// this program checks every other path against it (and the row-split entry
// point against the whole-image call), so the portable fallback that other
// machines run is held to the same pixels.  It also checks that automatic
// selection picks the fastest path the CPU has, which the comparisons alone
// would not notice.  Exit status 0 means all agreed.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "cpu_features.hpp"
#include "resample_bilinear.hpp"

using namespace quarn;

namespace {

struct Case {
    int64_t h, w;
    int channels;
    bool reversed;  // negative row and column strides
};

bool same_output(const std::vector<float>& a, const std::vector<float>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

int run_case(const Case& c, std::mt19937& rng, int out_size) {
    std::vector<uint8_t> pixels(static_cast<size_t>(c.h * c.w * c.channels));
    for (auto& p : pixels) p = static_cast<uint8_t>(rng());
    ImageView view{pixels.data(), c.h, c.w, c.channels, c.w * c.channels, c.channels, c.channels > 1 ? 1 : 0};
    if (c.reversed) {
        view.data = pixels.data() + (c.h - 1) * view.row_stride + (c.w - 1) * view.col_stride;
        view.row_stride = -view.row_stride;
        view.col_stride = -view.col_stride;
    }
    const size_t n = 3u * static_cast<size_t>(out_size) * static_cast<size_t>(out_size);
    std::vector<float> reference(n), candidate(n);
    PreprocessOptions portable;
    portable.simd = SimdLevel::portable;
    if (!preprocess_bgr_to_chw(view, out_size, reference.data(), portable)) return 1;

    int failures = 0;
    for (SimdLevel level : {SimdLevel::automatic, SimdLevel::avx2, SimdLevel::neon}) {
        if (!simd_supported(level)) continue;
        PreprocessOptions options;
        options.simd = level;
        std::fill(candidate.begin(), candidate.end(), -1.0f);
        if (!preprocess_bgr_to_chw(view, out_size, candidate.data(), options) || !same_output(reference, candidate))
            ++failures;
    }
    // Two row ranges written separately equal the whole image.
    std::fill(candidate.begin(), candidate.end(), -1.0f);
    const int split = out_size / 3;
    if (!preprocess_bgr_to_chw_rows(view, out_size, 0, split, candidate.data(), portable) ||
        !preprocess_bgr_to_chw_rows(view, out_size, split, out_size, candidate.data(), portable) ||
        !same_output(reference, candidate))
        ++failures;
    if (failures)
        std::printf("MISMATCH %lldx%lldx%d reversed=%d out=%d\n", static_cast<long long>(c.h),
                    static_cast<long long>(c.w), c.channels, c.reversed, out_size);
    return failures;
}

const char* name_of(SimdLevel level) {
    switch (level) {
        case SimdLevel::automatic:
            return "automatic";
        case SimdLevel::portable:
            return "portable";
        case SimdLevel::avx2:
            return "avx2";
        case SimdLevel::neon:
            return "neon";
    }
    return "?";
}

// The path the CPU's features call for, found without the dispatch.
SimdLevel fastest_for_this_cpu() {
#if defined(__aarch64__) || defined(_M_ARM64)
    return SimdLevel::neon;  // every AArch64 CPU has NEON
#elif defined(QUARN_X86_64)
    return cpu::has_avx2() ? SimdLevel::avx2 : SimdLevel::portable;
#else
    return SimdLevel::portable;
#endif
}

}  // namespace

int main() {
    std::mt19937 rng(20261208);
    std::vector<Case> cases = {{1, 1, 3, false},    {1, 700, 3, false},     {700, 1, 1, false},  {640, 640, 3, false},
                               {639, 641, 4, true}, {1080, 1920, 3, false}, {6401, 40, 1, false}};
    std::uniform_int_distribution<int> side(1, 1500), channels(0, 2), coin(0, 1);
    const int channel_counts[] = {1, 3, 4};
    for (int i = 0; i < 120; ++i)
        cases.push_back({side(rng), side(rng), channel_counts[channels(rng)], coin(rng) == 1});
    int failures = 0, runs = 0;
    for (const Case& c : cases) {
        for (int out_size : {640, 97}) {
            if (run_case(c, rng, out_size) != 0) ++failures;
            ++runs;
        }
    }
    std::printf("%d passed, %d failed (avx2 %s, neon %s)\n", runs - failures, failures,
                simd_supported(SimdLevel::avx2) ? "checked" : "not available here",
                simd_supported(SimdLevel::neon) ? "checked" : "not available here");
    const SimdLevel fastest = fastest_for_this_cpu(), chosen = resolve_simd_level(SimdLevel::automatic);
    const bool picks_fastest = chosen == fastest && simd_supported(fastest);
    std::printf("automatic selection: %s, fastest path for this CPU: %s%s\n", name_of(chosen), name_of(fastest),
                picks_fastest ? "" : " MISMATCH");
    return failures == 0 && picks_fastest ? 0 : 1;
}

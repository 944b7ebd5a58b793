// The float16 cast rounds like numpy: to nearest, exact ties to the even half.
//
// Every tie between two normal halves (both signs) goes through the portable
// path, forced, and is checked against a reference that decodes both
// neighbours and picks the nearer one; values one float step either side of
// each tie and random values in range are checked the same way.  Where the
// CPU has F16C, the hardware path must give the same bits, in whole vector
// blocks and in the scalar tail.  Values outside the covered range must be
// declined by both.  Exit status 0 means all agreed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "half_float.hpp"

using namespace quarn;

namespace {

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The value of a normal half, exactly.
double half_value(uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const double magnitude = std::ldexp(1.0 + (h & 0x3ff) / 1024.0, exponent - 15);
    return h & 0x8000 ? -magnitude : magnitude;
}

// The nearer of the two halves around `f` (truncation and the next one up),
// the even one on a tie.  `f` is a normal half-range float below the top tie.
uint16_t reference_half(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
    const uint16_t low = static_cast<uint16_t>(sign | (((bits & 0x7fffffffu) - 0x38000000u) >> 13));
    const uint16_t high = static_cast<uint16_t>(low + 1);
    const double to_low = std::fabs(static_cast<double>(f) - half_value(low));
    const double to_high = std::fabs(static_cast<double>(f) - half_value(high));
    if (to_low != to_high) return to_low < to_high ? low : high;
    return (low & 1) ? high : low;
}

int failures = 0;

void expect(bool ok, const char* what, size_t index, float value) {
    if (ok) return;
    if (++failures <= 10) std::fprintf(stderr, "%s: value %zu (%a)\n", what, index, static_cast<double>(value));
}

// Converts `values` on `path`; checks the result against the reference.
void check_against_reference(const std::vector<float>& values, HalfCastPath path, const char* name) {
    std::vector<uint16_t> out(values.size());
    expect(float_to_half_exact(values.data(), out.data(), values.size(), path), name, 0, 0.0f);
    for (size_t i = 0; i < values.size(); ++i) expect(out[i] == reference_half(values[i]), name, i, values[i]);
}

// Both paths give the same bits for `values`, in blocks of 8 and in the tail.
void check_paths_agree(const std::vector<float>& values) {
    const size_t n = values.size() - 3;  // not a multiple of 8: the tail runs too
    std::vector<uint16_t> portable(n), hardware(n);
    expect(float_to_half_exact(values.data(), portable.data(), n, HalfCastPath::portable), "portable", 0, 0.0f);
    expect(float_to_half_exact(values.data(), hardware.data(), n, HalfCastPath::f16c), "f16c", 0, 0.0f);
    for (size_t i = 0; i < n; ++i) expect(portable[i] == hardware[i], "f16c differs from portable", i, values[i]);
}

// Each value alone and inside a block of in-range values: both paths decline it.
void check_declined(float value) {
    std::vector<float> block(11, 1.0f);
    block[5] = value;
    uint16_t out[11];
    for (HalfCastPath path : {HalfCastPath::portable, HalfCastPath::f16c}) {
        if (!half_cast_supported(path)) continue;
        expect(!float_to_half_exact(&value, out, 1, path), "accepted alone", 0, value);
        expect(!float_to_half_exact(block.data(), out, block.size(), path), "accepted in a block", 5, value);
    }
}

}  // namespace

int main() {
    // Every tie: the lower half from 2**-14 up to the one below 65504, both signs.
    std::vector<float> ties, near_ties;
    for (uint32_t sign : {0u, 0x80000000u}) {
        for (uint32_t lower = 0x0400; lower < 0x7bff; ++lower) {
            const uint32_t tie = sign | ((lower << 13) + 0x38000000u + 0x1000u);
            ties.push_back(from_bits(tie));
            near_ties.push_back(from_bits(tie - 1));
            near_ties.push_back(from_bits(tie + 1));
        }
    }
    std::mt19937 rng(12);
    std::uniform_int_distribution<uint32_t> in_range(0x38800000u, 0x477fdfffu);  // up to the last tie
    std::vector<float> random(1 << 20);
    for (float& v : random) v = from_bits(in_range(rng) | (rng() & 0x80000000u));

    check_against_reference(ties, HalfCastPath::portable, "portable tie");
    check_against_reference(near_ties, HalfCastPath::portable, "portable near tie");
    check_against_reference(random, HalfCastPath::portable, "portable random");
    check_against_reference(ties, HalfCastPath::automatic, "automatic tie");

    const bool hardware = half_cast_supported(HalfCastPath::f16c);
    if (hardware) {
        check_paths_agree(ties);
        check_paths_agree(near_ties);
        check_paths_agree(random);
    }
    for (float v : {65520.0f, 1e-5f, from_bits(0x00000001u), INFINITY, -INFINITY, NAN, -65536.0f}) check_declined(v);

    std::printf("half_float_ties: %zu ties, F16C path %s: %s\n", ties.size(), hardware ? "compared" : "not on this CPU",
                failures == 0 ? "all agreed" : "FAILED");
    return failures == 0 ? 0 : 1;
}

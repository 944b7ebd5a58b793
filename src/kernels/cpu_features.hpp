// Run-time x86-64 feature checks and the per-function target attribute,
// spelled for each compiler: GCC and clang ask their runtime and need the
// attribute to emit AVX2 code in a function; MSVC reads CPUID itself and
// accepts AVX2 intrinsics anywhere.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define QUARN_X86_64 1

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define QUARN_TARGET_AVX2_F16C
#define QUARN_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#define QUARN_TARGET_AVX2_F16C __attribute__((target("avx2,f16c")))
#define QUARN_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#error "unknown x86-64 compiler: add its feature checks to cpu_features.hpp"
#endif

namespace quarn {
namespace cpu {

#if defined(_MSC_VER) && !defined(__clang__)
namespace detail {
struct X86Features {
    bool avx2 = false, f16c = false;
    X86Features() {
        int regs[4];
        __cpuid(regs, 0);
        const int max_leaf = regs[0];
        __cpuid(regs, 1);
        const bool osxsave = (regs[2] & (1 << 27)) != 0;
        const bool avx = (regs[2] & (1 << 28)) != 0;
        const bool f16c_bit = (regs[2] & (1 << 29)) != 0;
        // The OS must save the YMM registers too, or AVX code faults.
        const bool ymm_saved = osxsave && (_xgetbv(0) & 0x6) == 0x6;
        bool avx2_bit = false;
        if (max_leaf >= 7) {
            __cpuidex(regs, 7, 0);
            avx2_bit = (regs[1] & (1 << 5)) != 0;
        }
        avx2 = avx && ymm_saved && avx2_bit;
        f16c = avx2 && f16c_bit;
    }
};
inline const X86Features& features() {
    static const X86Features f;
    return f;
}
}  // namespace detail

inline bool has_avx2() { return detail::features().avx2; }
inline bool has_avx2_f16c() { return detail::features().f16c; }
#else
inline bool has_avx2() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}
inline bool has_avx2_f16c() {
    static const bool supported = [] {
        // F16C is CPUID leaf 1, ECX bit 29: clang's __builtin_cpu_supports
        // does not know the name.
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return has_avx2() && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 29)) != 0;
    }();
    return supported;
}
#endif

}  // namespace cpu
}  // namespace quarn

#endif  // x86-64

#include "common/cpu.h"

#include <cstdlib>
#include <cstring>

#if KX_X86
#include <cpuid.h>
#endif

namespace kx {

#if KX_X86
static unsigned long long read_xcr0() noexcept {
    unsigned eax, edx;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<unsigned long long>(edx) << 32) | eax;
}

static CpuLevel detect() noexcept {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return CPU_BASELINE;
    const bool osxsave = (c >> 27) & 1;
    const bool avx = (c >> 28) & 1;
    if (!osxsave || !avx) return CPU_BASELINE;
    const unsigned long long xcr0 = read_xcr0();
    // The OS must save the YMM state (bits 1, 2) and for AVX-512 also the
    // opmask and ZMM state (bits 5, 6, 7).
    if ((xcr0 & 0x6) != 0x6) return CPU_BASELINE;
    if (__get_cpuid_max(0, nullptr) < 7) return CPU_BASELINE;
    __cpuid_count(7, 0, a, b, c, d);
    const bool avx2 = (b >> 5) & 1;
    const bool avx512 = ((b >> 16) & 1) && ((b >> 17) & 1) && ((b >> 30) & 1) && ((b >> 31) & 1);
    if (avx512 && (xcr0 & 0xE6) == 0xE6) return CPU_AVX512;
    return avx2 ? CPU_AVX2 : CPU_BASELINE;
}
#else
static CpuLevel detect() noexcept { return CPU_BASELINE; }
#endif

static bool disabled(const char *list, const char *name) noexcept {
    const std::size_t len = std::strlen(name);
    for (const char *p = list; *p != '\0';) {
        const char *end = std::strchr(p, ',');
        const std::size_t n = end ? std::size_t(end - p) : std::strlen(p);
        if (n == len && std::strncmp(p, name, len) == 0) return true;
        if (end == nullptr) break;
        p = end + 1;
    }
    return false;
}

static CpuLevel select() noexcept {
    CpuLevel level = detect();
    const char *mask = std::getenv("KESTRIX_DISABLE_CPU_FEATURES");
    if (mask != nullptr) {
        if (level == CPU_AVX512 && disabled(mask, "avx512")) level = CPU_AVX2;
        if (level >= CPU_AVX2 && disabled(mask, "avx2")) level = CPU_BASELINE;
    }
    return level;
}

CpuLevel cpu_level() noexcept {
    // Computed once; the interpreter lock serialises the first calls.
    static const CpuLevel level = select();
    return level;
}

const char *cpu_level_name(CpuLevel level) noexcept {
    switch (level) {
    case CPU_AVX512: return "avx512";
    case CPU_AVX2: return "avx2";
    default: return "baseline";
    }
}

}  // namespace kx

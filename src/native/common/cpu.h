// Run-time instruction-set selection.
//
// The widest usable level is detected once (cpuid + xgetbv on x86-64) and
// cached.  KESTRIX_DISABLE_CPU_FEATURES (comma-separated: "avx512", "avx2")
// masks levels, so the test suite can be rerun on every variant.  Kernels
// keep a portable baseline (SSE2 on x86-64, NEON or plain C++ elsewhere).
#pragma once

namespace kx {

enum CpuLevel : int {
    CPU_BASELINE = 0,
    CPU_AVX2 = 1,    // AVX2 (+FMA present, but never used: no contraction)
    CPU_AVX512 = 2,  // AVX-512 F/BW/DQ/VL
};

CpuLevel cpu_level() noexcept;
const char *cpu_level_name(CpuLevel level) noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define KX_X86 1
#define KX_TARGET_AVX2 __attribute__((target("avx2")))
#define KX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))
#else
#define KX_X86 0
#endif

}  // namespace kx

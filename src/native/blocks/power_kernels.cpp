// The frame-power kernel (power_core.h) for every instruction-set variant:
// the 16 running sums are one AVX-512 vector, two AVX2 vectors or four
// baseline ones; each sum sees the same products in the same order.
#include "blocks/power_core.h"

#include "common/simd.h"

namespace {

constexpr int SUMS = 16;
constexpr int ROWS = 4;  // frames summed side by side: independent chains

typedef float v2f __attribute__((vector_size(8)));

// The fixed tree over the 16 running sums of one frame (power_core.h), in
// vectors of 8, 4 and 2 lanes, the same additions at every width.
KX_ALWAYS_INLINE float tree(const float *s) noexcept {
    const kx::v8f a = kx::load<kx::v8f>(s) + kx::load<kx::v8f>(s + 8);
    const kx::v4f b = __builtin_shufflevector(a, a, 0, 1, 2, 3) + __builtin_shufflevector(a, a, 4, 5, 6, 7);
    const v2f c = __builtin_shufflevector(b, b, 0, 1) + __builtin_shufflevector(b, b, 2, 3);
    return c[0] + c[1];
}

struct PowerKernel {
    using fn = void (*)(const float *, std::size_t, std::size_t, float *) noexcept;
    static constexpr kx::CpuLevel widest = kx::CPU_AVX512;

    template <kx::CpuLevel L, int R>
    static KX_ALWAYS_INLINE void rows(const float *v, std::size_t floats, float inv,
                                      float *out) noexcept {
        using V = kx::vec_for<L>;
        constexpr int W = kx::lanes<V>;
        constexpr int G = SUMS / W;
        V acc[R][G] = {};
        for (std::size_t i = 0; i < floats; i += SUMS)
#pragma GCC unroll 4
            for (int r = 0; r < R; r++)
#pragma GCC unroll 4
                for (int g = 0; g < G; g++) {
                    const V a = kx::load<V>(v + r * floats + i + g * W);
                    acc[r][g] = acc[r][g] + a * a;
                }
#pragma GCC unroll 4
        for (int r = 0; r < R; r++) {
            alignas(64) float s[SUMS];
#pragma GCC unroll 4
            for (int g = 0; g < G; g++) kx::store(s + g * W, acc[r][g]);
            out[r] = tree(s) * inv;
        }
    }

    template <kx::CpuLevel L>
    static KX_ALWAYS_INLINE void run(const float *v, std::size_t frames, std::size_t frame,
                                     float *out) noexcept {
        const float inv = 1.0f / static_cast<float>(frame);
        const std::size_t floats = 2 * frame;
        std::size_t f = 0;
        for (; f + ROWS <= frames; f += ROWS) rows<L, ROWS>(v + f * floats, floats, inv, out + f);
        for (; f < frames; f++) rows<L, 1>(v + f * floats, floats, inv, out + f);
    }
};

}  // namespace

void frame_powers(const cf32 *x, std::size_t frames, std::size_t frame, float *out) noexcept {
    static const PowerKernel::fn impl = kx::select_variant<PowerKernel>();
    impl(reinterpret_cast<const float *>(x), frames, frame, out);
}

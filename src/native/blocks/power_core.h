// Mean power of consecutive frames of complex samples, for level statistics.
#pragma once

#include <cstddef>

#include "common/kx_core.h"

// frame must be a positive multiple of 8 samples.
inline constexpr std::size_t POWER_FRAME_MULTIPLE = 8;

// out[f] = mean of |x|^2 over samples f*frame ... (f+1)*frame - 1, for f below
// frames.  The squares of the frame's 2*frame floats are summed in 16
// running sums in float32 (sum j takes floats j, j+16, j+32, ...), which
// are then added as a fixed tree (j and j+8, then j+4, j+2, j+1) and scaled
// by 1/frame, so every instruction-set variant gives the same bits.
void frame_powers(const cf32 *x, std::size_t frames, std::size_t frame, float *out) noexcept;

// Little-endian fields of state blobs, and the 16-byte header that opens
// every blob: magic (u32), version (u16), the value 1 (u16), total size
// (u32), zero (u32).  Fields are assembled byte by byte so the layout never
// depends on the host's byte order or on struct padding.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/kx_core.h"

namespace kx {

inline constexpr std::size_t BLOB_HEADER_BYTES = 16;

// One field at p: an unsigned integer in its own width, least significant
// byte first; a float or double as the integer of its IEEE bit pattern; a
// complex sample as its real part, then its imaginary part.
template <class V>
inline void put_le(uint8_t *p, V v) noexcept {
    if constexpr (std::is_same_v<V, cf32>) {
        put_le(p, v.real());
        put_le(p + 4, v.imag());
    } else if constexpr (std::is_floating_point_v<V>) {
        put_le(p, std::bit_cast<std::conditional_t<sizeof(V) == 8, uint64_t, uint32_t>>(v));
    } else {
        static_assert(std::is_unsigned_v<V>);
        for (std::size_t i = 0; i < sizeof(V); i++) p[i] = uint8_t(v >> (8 * i));
    }
}

template <class V>
inline V get_le(const uint8_t *p) noexcept {
    if constexpr (std::is_same_v<V, cf32>) {
        return cf32(get_le<float>(p), get_le<float>(p + 4));
    } else if constexpr (std::is_floating_point_v<V>) {
        return std::bit_cast<V>(get_le<std::conditional_t<sizeof(V) == 8, uint64_t, uint32_t>>(p));
    } else {
        static_assert(std::is_unsigned_v<V>);
        V v = 0;
        for (std::size_t i = sizeof(V); i-- > 0;) v = V(V(v << 8) | p[i]);
        return v;
    }
}

inline void blob_put_header(uint8_t *p, uint32_t magic, uint16_t version, uint32_t size) {
    put_le(p, magic);
    put_le(p + 4, version);
    p[6] = 1;
    p[7] = 0;
    put_le(p + 8, size);
    put_le(p + 12, uint32_t(0));
}

// Readers look at the magic, the version, byte 6 and the size field only:
// byte 7 and bytes 12..15 are deliberately ignored.
inline bool blob_header_ok(const uint8_t *p, uint32_t magic, uint16_t version, uint32_t size) {
    return get_le<uint32_t>(p) == magic && get_le<uint16_t>(p + 4) == version && p[6] == 1 &&
           get_le<uint32_t>(p + 8) == size;
}

}  // namespace kx

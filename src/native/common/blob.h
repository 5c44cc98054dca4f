// Little-endian field access for state blobs, and the 16-byte header that
// opens every blob: magic (u32), version (u16), the value 1 (u16), total
// size (u32), zero (u32).  Fields are assembled byte by byte so the layout
// never depends on the host's byte order or on struct padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kx {

inline constexpr std::size_t BLOB_HEADER_BYTES = 16;

inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void put_le64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t get_le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}
inline uint64_t get_le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

// Floats travel as their IEEE bit patterns.
inline void put_f64(uint8_t *p, double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    put_le64(p, u);
}
inline double get_f64(const uint8_t *p) {
    uint64_t u = get_le64(p);
    double v;
    std::memcpy(&v, &u, 8);
    return v;
}
inline void put_f32(uint8_t *p, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    put_le32(p, u);
}
inline float get_f32(const uint8_t *p) {
    uint32_t u = get_le32(p);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

inline void blob_put_header(uint8_t *p, uint32_t magic, uint16_t version, uint32_t size) {
    put_le32(p, magic);
    put_le16(p + 4, version);
    p[6] = 1;
    p[7] = 0;
    put_le32(p + 8, size);
    put_le32(p + 12, 0);
}

// Readers look at the magic, the version, byte 6 and the size field only:
// byte 7 and bytes 12..15 are deliberately ignored.
inline bool blob_header_ok(const uint8_t *p, uint32_t magic, uint16_t version, uint32_t size) {
    return get_le32(p) == magic && get_le16(p + 4) == version && p[6] == 1 &&
           get_le32(p + 8) == size;
}

}  // namespace kx

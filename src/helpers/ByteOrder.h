// Byte-order readers and writers for frame headers (big-endian) and payloads
// (little-endian). Readers never look past the bytes they name.
#ifndef LIBLUMO_HELPERS_BYTEORDER_H
#define LIBLUMO_HELPERS_BYTEORDER_H

#include <cstdint>

namespace liblumo::helpers {

inline int readU16BE(const uint8_t *p)
{
    return p[0] * 256 + p[1];
}
inline int readU16LE(const uint8_t *p)
{
    return p[1] * 256 + p[0];
}
inline int readU32BE(const uint8_t *p)
{
    return static_cast<int>(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
                            uint32_t(p[3]));
}
inline int readU32LE(const uint8_t *p)
{
    return static_cast<int>(uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 |
                            uint32_t(p[0]));
}
inline void writeU16BE(uint16_t v, uint8_t *p)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void writeU16LE(uint16_t v, uint8_t *p)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void writeU32BE(uint32_t v, uint8_t *p)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void writeU32LE(uint32_t v, uint8_t *p)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace liblumo::helpers

#endif

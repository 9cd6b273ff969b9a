#include "crc.h"

#include <array>

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr CrcTables make_tables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int s = 1; s < kSlices; ++s)
            t[s][n] = (t[s - 1][n] >> 8) ^ t[0][t[s - 1][n] & 0xFFu];
    return t;
}

constexpr CrcTables kTables = make_tables();

// Four bytes taken least significant first, whatever the processor's byte order.
inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

uint32_t gen_crc(const void* data, uint32_t count, uint32_t start) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t crc = start;
    const auto& t = kTables;
    while (count >= kSlices) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        uint32_t c = load_le32(p + 8);
        uint32_t d = load_le32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += kSlices;
        count -= kSlices;
    }
    while (count--)
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    return crc;
}

uint32_t gen_crc_bitwise(const void* data, uint32_t count, uint32_t start) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t crc = start;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t b = p[i];
        for (int k = 0; k < 8; ++k) {
            crc = ((crc ^ b) & 1u) ? (crc >> 1) ^ kPoly : crc >> 1;
            b >>= 1;
        }
    }
    return crc;
}

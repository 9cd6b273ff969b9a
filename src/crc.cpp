// SPDX-License-Identifier: MIT
#include "crc.h"

#include <array>

// Table-driven forms of the bit-at-a-time definition (reflected polynomial 0xEDB88320,
// least significant bit first).
//
// Long ranges are braided: the data is taken as 8-byte words dealt round-robin to
// kBraids independent registers, so that the table look-ups of one braid never wait for
// another's. Each braid carries what its words contribute forward to its own next word,
// kBraids words later, across the other braids' words taken as zeros; the CRC is linear,
// so the braids' registers folded into the last words give the same result as one
// register over every byte.
namespace {

constexpr uint32_t kPoly = 0xEDB88320u;
constexpr int kBraids = 5;
constexpr uint32_t kWord = 8;
constexpr uint32_t kBlock = kBraids * kWord;

using Tables = std::array<std::array<uint32_t, 256>, kWord>;

// Slice tables: t[s][n] is byte n followed by s zero bytes.
constexpr Tables make_slice_tables() {
    Tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (uint32_t s = 1; s < kWord; ++s)
            t[s][n] = (t[s - 1][n] >> 8) ^ t[0][t[s - 1][n] & 0xFFu];
    return t;
}

constexpr Tables kSlice = make_slice_tables();

// Braid tables: b[k][n] is byte n at position k of a word, carried to the start of the
// same braid's next word.
constexpr Tables make_braid_tables() {
    Tables b{};
    for (uint32_t k = 0; k < kWord; ++k)
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = kSlice[0][n];
            for (uint32_t z = 0; z < kWord - 1 - k + (kBraids - 1) * kWord; ++z)
                c = (c >> 8) ^ kSlice[0][c & 0xFFu];
            b[k][n] = c;
        }
    return b;
}

constexpr Tables kBraid = make_braid_tables();

// Four bytes taken least significant first, whatever the processor's byte order.
inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The register after the word at `p`, with `crc` folded into its first four bytes.
inline uint32_t crc_word(uint32_t crc, const uint8_t* p) {
    const auto& t = kSlice;
    uint32_t a = load_le32(p) ^ crc;
    uint32_t b = load_le32(p + 4);
    return t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
           t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
}

// What the word at `p`, with a braid's register folded in, carries to the braid's next
// word.
inline uint32_t braid_word(uint32_t crc, const uint8_t* p) {
    const auto& t = kBraid;
    uint32_t a = load_le32(p) ^ crc;
    uint32_t b = load_le32(p + 4);
    return t[0][a & 0xFF] ^ t[1][(a >> 8) & 0xFF] ^ t[2][(a >> 16) & 0xFF] ^ t[3][a >> 24] ^
           t[4][b & 0xFF] ^ t[5][(b >> 8) & 0xFF] ^ t[6][(b >> 16) & 0xFF] ^ t[7][b >> 24];
}

} // namespace

uint32_t gen_crc(const void* data, uint32_t count, uint32_t start) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t crc = start;
    if (count >= 2 * kBlock) {
        uint32_t c0 = crc, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
        uint32_t blocks = count / kBlock;
        count -= blocks * kBlock;
        for (; blocks > 1; --blocks, p += kBlock) {
            c0 = braid_word(c0, p);
            c1 = braid_word(c1, p + 8);
            c2 = braid_word(c2, p + 16);
            c3 = braid_word(c3, p + 24);
            c4 = braid_word(c4, p + 32);
        }
        // The last block joins the braids into one register.
        crc = crc_word(c0, p);
        crc = crc_word(crc ^ c1, p + 8);
        crc = crc_word(crc ^ c2, p + 16);
        crc = crc_word(crc ^ c3, p + 24);
        crc = crc_word(crc ^ c4, p + 32);
        p += kBlock;
    }
    for (; count >= kWord; count -= kWord, p += kWord)
        crc = crc_word(crc, p);
    while (count--)
        crc = (crc >> 8) ^ kSlice[0][(crc ^ *p++) & 0xFF];
    return crc;
}

// SPDX-License-Identifier: MIT
#include "crc.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// The definition, one bit at a time, least significant bit first.
uint32_t crc_bitwise(const void* data, uint32_t count, uint32_t start) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t crc = start;
    for (uint32_t i = 0; i < count; ++i)
        for (int k = 0, b = p[i]; k < 8; ++k, b >>= 1)
            crc = ((crc ^ uint32_t(b)) & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    return crc;
}

uint32_t crc_of(const std::string& s) {
    return gen_crc(s.data(), uint32_t(s.size()), 0xFFFFFFFFu);
}

TEST(Crc, CheckValues) {
    EXPECT_EQ(crc_of("123456789"), 0x340BC6D9u);
    EXPECT_EQ(crc_of("abc"), 0xCADBBE3Du);
    EXPECT_EQ(crc_of(""), 0xFFFFFFFFu);
    EXPECT_EQ(crc_bitwise("123456789", 9, 0xFFFFFFFFu), 0x340BC6D9u);
}

TEST(Crc, TableFormEqualsBitwiseDefinitionOnRandomInputs) {
    std::mt19937 rng(20261206);
    std::vector<uint8_t> data(4096 + 64);
    for (auto& b : data)
        b = uint8_t(rng());
    // Every length across the switch to braided words, at every alignment, then larger
    // random spans.
    for (uint32_t start = 0; start < 16; ++start)
        for (uint32_t len = 0; len < 200; ++len)
            ASSERT_EQ(gen_crc(&data[start], len, 0xFFFFFFFFu),
                      crc_bitwise(&data[start], len, 0xFFFFFFFFu))
                << "start " << start << " len " << len;
    for (int i = 0; i < 200; ++i) {
        uint32_t start = rng() % 64, len = rng() % 4096;
        uint32_t seed = rng();
        ASSERT_EQ(gen_crc(&data[start], len, seed), crc_bitwise(&data[start], len, seed));
    }
}

} // namespace

// SPDX-License-Identifier: MIT
// The archive check: gzip members of each block type, tar headers of each shape, and what
// is no archive, each fed whole and a byte at a time.
#include "archive.h"
#include "crc.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Made by gzip -9 and by zlib's fixed-code strategy: a dynamic-code block whose tar holds
// home/bin/mp.elf.strip, and a fixed-code block whose tar holds mpdiag.elf.strip.
constexpr uint8_t kDynamic[] = {
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xed, 0xcd, 0x41, 0x0a, 0x84, 0x30,
    0x10, 0x05, 0xd1, 0x3e, 0x4a, 0x4e, 0xa0, 0x46, 0x08, 0x9e, 0x47, 0x31, 0x33, 0x0a, 0xc6, 0x84,
    0x18, 0xef, 0x6f, 0x70, 0x60, 0x16, 0xba, 0x15, 0x11, 0xac, 0xb7, 0xf9, 0x4d, 0x6d, 0x7a, 0xf0,
    0xce, 0x96, 0xdd, 0x38, 0x97, 0x2e, 0x14, 0x76, 0xfa, 0x14, 0x4b, 0x8a, 0x63, 0x90, 0x6b, 0x55,
    0x59, 0x63, 0xcc, 0xbe, 0xd9, 0x71, 0x75, 0x6d, 0xfe, 0xf7, 0xaf, 0x6b, 0xdd, 0xe8, 0x5a, 0x54,
    0x25, 0x37, 0x58, 0x97, 0xd4, 0xc6, 0xfc, 0x5e, 0xde, 0x29, 0x0d, 0x56, 0xf5, 0xd6, 0x79, 0x15,
    0xa2, 0xff, 0xc6, 0xd6, 0x29, 0x02, 0xe1, 0x81, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x9c, 0x6c, 0x6f, 0x2a, 0x91, 0xe4, 0x00, 0x28, 0x00, 0x00,
};
constexpr uint8_t kFixed[] = {
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xcb, 0x2d, 0x48, 0xc9, 0x4c, 0x4c,
    0xd7, 0x4b, 0xcd, 0x49, 0xd3, 0x2b, 0x2e, 0x29, 0xca, 0x2c, 0x60, 0xa0, 0x01, 0x30, 0x00, 0x02,
    0x33, 0x13, 0x13, 0x30, 0x0d, 0x04, 0xe8, 0xb4, 0x81, 0x81, 0xa1, 0x31, 0x82, 0x0d, 0x12, 0x37,
    0x34, 0x34, 0x30, 0x36, 0x60, 0x50, 0x30, 0x60, 0xa0, 0x03, 0x28, 0x2d, 0x2e, 0x49, 0x2c, 0x02,
    0x5a, 0xcf, 0x30, 0x32, 0x01, 0x28, 0xf6, 0xf3, 0xf2, 0x8b, 0x4b, 0x32, 0x93, 0x8b, 0x19, 0x46,
    0xc1, 0x28, 0x18, 0x05, 0xa3, 0x60, 0x14, 0x8c, 0x82, 0x51, 0x30, 0x0a, 0x46, 0xc1, 0x28, 0x18,
    0x05, 0xa3, 0x60, 0x14, 0x8c, 0x82, 0x51, 0x30, 0x0a, 0x46, 0xc1, 0x28, 0x18, 0x05, 0xa3, 0x60,
    0x14, 0x8c, 0x82, 0x51, 0x30, 0x0a, 0x46, 0xc1, 0x28, 0x18, 0x05, 0xa3, 0x60, 0x14, 0x8c, 0x82,
    0x51, 0x30, 0x0a, 0x46, 0xc1, 0x28, 0x18, 0x05, 0xa3, 0x60, 0x14, 0x0c, 0x1d, 0x00, 0x00, 0xad,
    0xed, 0x7a, 0x34, 0x00, 0x28, 0x00, 0x00,
};

// A tar member's 512-byte header (ustar), with PREFIX split off the name when given.
bytes tar_header(const std::string& name, size_t size, char type = '0',
                 const std::string& prefix = "") {
    bytes h(512, 0);
    std::copy(name.begin(), name.end(), h.begin());
    snprintf(reinterpret_cast<char*>(&h[100]), 8, "%07o", 0755);
    snprintf(reinterpret_cast<char*>(&h[124]), 12, "%011zo", size);
    h[156] = uint8_t(type);
    std::copy_n("ustar", 6, h.begin() + 257);
    h[263] = h[264] = '0';
    std::copy(prefix.begin(), prefix.end(), h.begin() + 345);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : h[i];
    snprintf(reinterpret_cast<char*>(&h[148]), 8, "%06o", sum);
    return h;
}

bytes tar_of(const std::vector<bytes>& headers_with_data) {
    bytes t;
    for (const bytes& b : headers_with_data)
        t.insert(t.end(), b.begin(), b.end());
    t.resize(t.size() + 1024, 0); // the end-of-archive blocks
    return t;
}

bytes member(const std::string& name, const std::string& data, char type = '0',
             const std::string& prefix = "") {
    bytes m = tar_header(name, data.size(), type, prefix);
    bytes d(data.begin(), data.end());
    d.resize((d.size() + 511) / 512 * 512, 0);
    m.insert(m.end(), d.begin(), d.end());
    return m;
}

void put32le(bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

// One gzip member of stored blocks, at most `block` bytes each.
bytes gzip_stored(const bytes& data, size_t block = 1000) {
    bytes g = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    size_t at = 0;
    do {
        const size_t n = std::min(block, data.size() - at);
        g.push_back(at + n == data.size() ? 1 : 0);
        g.push_back(uint8_t(n));
        g.push_back(uint8_t(n >> 8));
        g.push_back(uint8_t(~n));
        g.push_back(uint8_t(~n >> 8));
        g.insert(g.end(), data.begin() + long(at), data.begin() + long(at + n));
        at += n;
    } while (at < data.size());
    put32le(g, gen_crc(data.data(), uint32_t(data.size()), 0xFFFFFFFFu) ^ 0xFFFFFFFFu);
    put32le(g, uint32_t(data.size()));
    return g;
}

archive_verdict judge(const bytes& data, const char* program, size_t piece) {
    static archive_check c;
    archive_begin(c, program);
    for (size_t at = 0; at < data.size(); at += piece)
        archive_feed(c, data.data() + at, std::min(piece, data.size() - at));
    return archive_end(c);
}

struct archive_case {
    const char* what;
    bytes data;
    const char* program;
    archive_verdict verdict;
};

std::vector<archive_case> cases() {
    const char* app = "home/bin/mp.elf.strip";
    const bytes good =
        gzip_stored(tar_of({member("home/pad", std::string(3000, 'x')), member(app, "program")}));
    const bytes cut(good.begin(), good.end() - 1);
    bytes bad_crc = good;
    bad_crc[bad_crc.size() - 8] ^= 1;
    // One tar archive, its bytes split across two gzip members, as gzip allows.
    const bytes tar = tar_of({member("home/x", "x"), member(app, "program")});
    bytes two_members = gzip_stored(bytes(tar.begin(), tar.begin() + 700));
    const bytes rest = gzip_stored(bytes(tar.begin() + 700, tar.end()));
    two_members.insert(two_members.end(), rest.begin(), rest.end());
    const std::string text = "no tar header here, only words\n";
    return {
        {"stored blocks, the program after another member", good, app,
         archive_verdict::holds_program},
        {"dynamic codes (gzip -9)", bytes(kDynamic, kDynamic + sizeof kDynamic), app,
         archive_verdict::holds_program},
        {"fixed codes", bytes(kFixed, kFixed + sizeof kFixed), "mpdiag.elf.strip",
         archive_verdict::holds_program},
        {"fixed codes, another program", bytes(kFixed, kFixed + sizeof kFixed), app,
         archive_verdict::no_program},
        {"./ before the name", gzip_stored(tar_of({member("./home/bin/mp.elf.strip", "p")})), app,
         archive_verdict::holds_program},
        {"the ustar prefix", gzip_stored(tar_of({member("mp.elf.strip", "p", '0', "home/bin")})),
         app, archive_verdict::holds_program},
        {"a directory of the program's name", gzip_stored(tar_of({member(app, "", '5')})), app,
         archive_verdict::no_program},
        {"two gzip members", two_members, app, archive_verdict::holds_program},
        {"empty", {}, app, archive_verdict::not_gzip},
        {"cut short by a byte", cut, app, archive_verdict::not_gzip},
        {"a wrong CRC", bad_crc, app, archive_verdict::not_gzip},
        {"gzip of text", gzip_stored(bytes(text.begin(), text.end())), app,
         archive_verdict::not_tar},
        {"a bare tar", tar_of({member(app, "program")}), app, archive_verdict::not_gzip},
    };
}

TEST(Archive, VerdictWholeAndByteByByte) {
    for (const archive_case& c : cases()) {
        EXPECT_EQ(judge(c.data, c.program, 1 << 20), c.verdict) << c.what;
        EXPECT_EQ(judge(c.data, c.program, 1), c.verdict) << c.what << ", a byte at a time";
        EXPECT_EQ(judge(c.data, c.program, 777), c.verdict) << c.what << ", in odd pieces";
    }
}

// Every byte of an archive matters: flipping any one of a small archive's bytes after the
// gzip header is found, in the deflate data, its CRC or its length.
TEST(Archive, NoDamagedArchivePassesUnnoticed) {
    const bytes good(kDynamic, kDynamic + sizeof kDynamic);
    for (size_t i = 10; i < good.size(); ++i) {
        bytes damaged = good;
        damaged[i] ^= 0x10;
        EXPECT_NE(judge(damaged, "home/bin/mp.elf.strip", 64), archive_verdict::holds_program)
            << "byte " << i;
    }
}

} // namespace

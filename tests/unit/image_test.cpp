// SPDX-License-Identifier: MIT
#include "crc.h"
#include "image.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> component(uint32_t magic, uint32_t id, const std::string& data) {
    std::vector<uint8_t> c(HEADER_SIZE + data.size());
    encode_header({0, uint32_t(data.size()), magic, id}, c.data());
    std::memcpy(c.data() + HEADER_SIZE, data.data(), data.size());
    component_header h = decode_header(c.data());
    h.crc = gen_crc(c.data() + 4, uint32_t(c.size()) - 4, 0xFFFFFFFFu);
    encode_header(h, c.data());
    return c;
}

// A package in a real file, positioned at its start.
struct package {
    FILE* f = tmpfile();
    explicit package(const std::vector<std::vector<uint8_t>>& parts) {
        for (const auto& p : parts)
            fwrite(p.data(), 1, p.size(), f);
        rewind(f);
    }
    ~package() { fclose(f); }
};

std::vector<uint8_t> raw_header(uint32_t len, uint32_t magic) {
    std::vector<uint8_t> h(HEADER_SIZE);
    encode_header({0, len, magic, 0}, h.data());
    return h;
}

TEST(Header, WordsAreBigEndianOnEveryProcessor) {
    const uint8_t raw[16] = {0x12, 0x34, 0x56, 0x78, 0, 0, 1, 0,
                             0x01, 0x50, 0x4F, 0x4C, 1, 2, 3, 4};
    component_header h = decode_header(raw);
    EXPECT_EQ(h.crc, 0x12345678u);
    EXPECT_EQ(h.len, 256u);
    EXPECT_EQ(h.magic, MAGIC_APPLICATION);
    EXPECT_EQ(h.id, 0x01020304u);
    uint8_t back[16];
    encode_header(h, back);
    EXPECT_EQ(std::memcmp(raw, back, 16), 0);
}

TEST(Header, NextOffset) {
    struct {
        uint32_t offset, len;
        bool ok;
        uint32_t next;
    } cases[] = {
        {0, 0, true, 16},
        {100, 20, true, 136},
        {0, 0xFFFFFFEF, true, 0xFFFFFFFF},
        {0, 0xFFFFFFF0, false, 0},    // len + 16 does not fit in 32 bits
        {0x20, 0xFFFFFFD0, false, 0}, // the next offset would wrap to the start
        {0xFFFFFFF0, 0, false, 0},
    };
    for (const auto& c : cases) {
        uint32_t next = 0;
        component_header h{0, c.len, MAGIC_KERNEL, 0};
        EXPECT_EQ(next_component_offset(c.offset, h, &next), c.ok) << c.offset << "+" << c.len;
        if (c.ok) {
            EXPECT_EQ(next, c.next);
        }
    }
}

TEST(Walk, FindsTheFirstApplicationOrDiagnosticsComponentOrEnds) {
    auto kernel = component(MAGIC_KERNEL, 1, std::string(1000, 'k'));
    auto app = component(MAGIC_APPLICATION, 2, "app");
    auto diags = component(MAGIC_DIAGS, 3, "diag");
    auto unknown = component(0x07504F4C, 4, "????");
    struct {
        const char* what;
        std::vector<std::vector<uint8_t>> parts;
        int found;
        long at;        // where the component found starts
        uint32_t magic; // of the component found, or of the last header read
    } cases[] = {
        {"application first", {app, kernel}, 1, 0, MAGIC_APPLICATION},
        {"kernel skipped by its len", {kernel, app}, 1, long(kernel.size()), MAGIC_APPLICATION},
        {"unknown type skipped",
         {unknown, kernel, diags},
         1,
         long(unknown.size() + kernel.size()),
         MAGIC_DIAGS},
        {"empty file", {}, 0, 0, 0},
        {"only other types", {kernel, component(MAGIC_RFS, 1, "r")}, 0, 0, MAGIC_RFS},
        {"header cut short",
         {kernel, std::vector<uint8_t>(app.begin(), app.begin() + 10)},
         0,
         0,
         MAGIC_KERNEL},
        {"len + 16 overflows", {raw_header(0xFFFFFFF5, MAGIC_KERNEL), app}, 0, 0, MAGIC_KERNEL},
        {"offset would wrap", {raw_header(0xFFFFFFEF, MAGIC_KERNEL), app}, 0, 0, MAGIC_KERNEL},
    };
    for (const auto& c : cases) {
        package p(c.parts);
        component_header h{0, 0, 0, 0};
        ASSERT_EQ(parse_image(p.f, &h), c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(ftell(p.f), c.at) << c.what;
        }
        EXPECT_EQ(h.magic, c.magic) << c.what;
    }
}

TEST(SlotCheck, JudgesTheWholeComponentWhileWritingTheArchive) {
    // Longer than any buffer the check uses, so that every verdict spans several pieces.
    std::string data(200 * 1024 + 7, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 131 + i / 977);
    const auto kernel = component(MAGIC_KERNEL, 1, "kernel");
    const auto good = component(MAGIC_APPLICATION, 2, data);
    data.back() ^= 0x01;
    auto bad_last = component(MAGIC_APPLICATION, 2, data);
    std::memcpy(bad_last.data(), good.data(), HEADER_SIZE); // the good CRC, a changed last byte
    data.back() ^= 0x01;
    const std::vector<uint8_t> short_one(good.begin(), good.end() - 1);
    struct {
        const char* what;
        std::vector<std::vector<uint8_t>> parts;
        slot_verdict verdict;
    } cases[] = {
        {"good, after a kernel", {kernel, good}, slot_verdict::good},
        {"last byte changed", {bad_last}, slot_verdict::bad_crc},
        {"one byte short", {short_one}, slot_verdict::cut_short},
        {"length no file can back",
         {raw_header(0xFFFFFFF8, MAGIC_APPLICATION)},
         slot_verdict::cut_short},
        {"no application", {kernel}, slot_verdict::no_component},
    };
    for (const auto& c : cases) {
        package p(c.parts);
        FILE* archive = tmpfile();
        component_header h{};
        bool written = false;
        EXPECT_EQ(check_slot_package(p.f, &h, fileno(archive), &written), c.verdict) << c.what;
        EXPECT_EQ(written, c.verdict == slot_verdict::good) << c.what;
        if (c.verdict == slot_verdict::good) {
            std::string got(data.size() + 1, 0);
            rewind(archive);
            got.resize(fread(got.data(), 1, got.size(), archive));
            EXPECT_EQ(got, data) << c.what;
        }
        fclose(archive);
    }
}

} // namespace

// SPDX-License-Identifier: MIT
#include "crc.h"
#include "fake_devices.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t kBlock = 64 * 1024;

std::vector<uint8_t> make_component(uint32_t magic, uint32_t id, size_t len, uint8_t fill) {
    std::vector<uint8_t> c(HEADER_SIZE + len, fill);
    encode_header({0, uint32_t(len), magic, id}, c.data());
    component_header h = decode_header(c.data());
    h.crc = component_crc(c.data(), h.len);
    encode_header(h, c.data());
    return c;
}

class Installer : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_mtd::reset();
        for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"})
            fake_mtd::add(p, 16 * kBlock);
        fake_i2c::reset();
        fake_files::reset();
        CaptureStdout();
        api_i2c_init();
        api_flash_init();
        GetCapturedStdout();
    }
    void TearDown() override {
        api_i2c_close();
        if (package_)
            fclose(package_);
    }

    // A package file the installer opens by path.
    std::string package(const std::vector<std::vector<uint8_t>>& parts) {
        package_ = tmpfile();
        for (const auto& p : parts)
            fwrite(p.data(), 1, p.size(), package_);
        fflush(package_);
        return "/proc/self/fd/" + std::to_string(fileno(package_));
    }

    FILE* package_ = nullptr;
};

TEST_F(Installer, SlotProgressOfALargeComponentDoesNotOverflow) {
    // 48 MiB: bytes written times 100 passes 2^32 after 43 MB.
    const size_t len = 48u << 20;
    auto app = make_component(MAGIC_APPLICATION, 0x07000001, len, 0x5A);
    std::string path = package({app});
    CaptureStdout();
    EXPECT_EQ(processBladeImage(path.c_str()), 1);
    std::string out = GetCapturedStdout();

    std::string want = "Installing image as image1:     ";
    const uint64_t total = app.size();
    for (uint64_t done = 0; done < total;) {
        done += std::min<uint64_t>(65536, total - done);
        char step[16];
        snprintf(step, sizeof step, "\b\b\b\b%03d%%", int(done * 100 / total));
        want += step;
    }
    want += "\b\b\b\b100%\n\nImage1 updated succeeded\n";
    EXPECT_NE(out.find(want), std::string::npos);
    EXPECT_EQ(fake_files::get().files.at("/user/images/image1"), app);
    EXPECT_EQ(fake_i2c::state().eeprom[1], 1);
}

TEST_F(Installer, ResultIsZeroWhenNothingWasWritten) {
    struct {
        const char* what;
        std::vector<std::vector<uint8_t>> parts;
    } cases[] = {
        {"empty file", {}},
        {"unknown type first",
         {make_component(0x07504F4C, 1, 10, 0), make_component(MAGIC_DFT, 1, 10, 0)}},
    };
    for (const auto& c : cases) {
        std::string path = package(c.parts);
        CaptureStdout();
        EXPECT_EQ(processBladeImage(path.c_str()), 0) << c.what;
        EXPECT_EQ(GetCapturedStdout(), "\nExtracting images ... Do *NOT* power cycle the switch.\n")
            << c.what;
        EXPECT_TRUE(fake_mtd::ops().empty()) << c.what;
        fclose(package_);
        package_ = nullptr;
    }
    EXPECT_EQ(processBladeImage("/nonexistent/image"), 0);
}

TEST_F(Installer, FlashWriteFailureStopsTheInstallation) {
    fake_mtd::get("devicetree").fail_erase_block = 0;
    std::string path =
        package({make_component(MAGIC_DFT, 1, 100, 1), make_component(MAGIC_RFS, 1, 100, 2)});
    CaptureStdout();
    EXPECT_EQ(processBladeImage(path.c_str()), 0);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Installing Device Tree:      Flash Write mtd erase failed.\n\nDFT image "
                       "update failed\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Root Filesystem"), std::string::npos);
}

TEST(InstalledHeaders, WhereEachTypeIsRead) {
    fake_mtd::reset();
    auto& uboot = fake_mtd::add("uboot", 8 * kBlock);
    auto& kernel = fake_mtd::add("kernel", 8 * kBlock);
    fake_mtd::add("rfs", 8 * kBlock).fail_read_block = 0;
    for (int i = 0; i < 16; ++i) {
        uboot.cells[i] = 0x11;
        uboot.cells[240 + i] = uint8_t(0x40 + i);
        kernel.cells[i] = uint8_t(0x80 + i);
    }
    CaptureStdout();
    ASSERT_EQ(api_flash_init(), 0);
    GetCapturedStdout();

    uint8_t h[16];
    ASSERT_EQ(read_flash_image_header(MAGIC_UBOOT, h, 0), 1);
    EXPECT_EQ(h[0], 0x40); // offset 240, not the partition's first bytes
    EXPECT_EQ(h[15], 0x4F);
    ASSERT_EQ(read_flash_image_header(MAGIC_KERNEL, h, 0), 1);
    EXPECT_EQ(h[12], 0x8C);
    // An unreadable partition reads as zeros; a missing partition as well.
    std::memset(h, 0xEE, sizeof h);
    EXPECT_EQ(read_flash_image_header(MAGIC_RFS, h, 0), 1);
    EXPECT_EQ(decode_header(h).id, 0u);
    std::memset(h, 0xEE, sizeof h);
    EXPECT_EQ(read_flash_image_header(MAGIC_DIAGS, h, 0), 1);
    EXPECT_EQ(decode_header(h).magic, 0u);
    // No slot file: 0, and the version shows as 0.0.0.0.
    std::memset(h, 0xEE, sizeof h);
    EXPECT_EQ(read_flash_image_header(MAGIC_APPLICATION, h, 2), 0);
    EXPECT_EQ(decode_header(h).id, 0u);

    CaptureStdout();
    EXPECT_EQ(read_flash_image_header(0x07504F4C, h, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "Unknown image type 0x7504f4c \n");
    EXPECT_EQ(read_flash_image_header(MAGIC_KERNEL, nullptr, 0), 0);
}

} // namespace

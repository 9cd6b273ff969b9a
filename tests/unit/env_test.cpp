// SPDX-License-Identifier: MIT
#include "fake_devices.h"
#include "flash.h"
#include "launch.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct options {
    int gdb, gdbserver, port, shell, memchk, rescue, diags;
    bool operator==(const options&) const = default;
};

std::ostream& operator<<(std::ostream& os, const options& o) {
    return os << "gdb=" << o.gdb << " gdbserver=" << o.gdbserver << " port=" << o.port
              << " shell=" << o.shell << " memchk=" << o.memchk << " rescue=" << o.rescue
              << " diags=" << o.diags;
}

constexpr options kDefaults{0, 0, 1234, 0, 0, 0, 0};

void reset_options() {
    gdb_enable = 0;
    gdbserver_enable = 0;
    gdbport = 1234;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
}

options current() {
    return {gdb_enable,    gdbserver_enable, gdbport,         shell_enable,
            memchk_enable, rescue_enable,    standalone_diags};
}

// The settings as the boot loader stores them: NUL-terminated, back to back.
std::vector<uint8_t> area_of(const std::vector<std::string>& settings, size_t pad_to = 0) {
    std::vector<uint8_t> area;
    for (const auto& s : settings) {
        area.insert(area.end(), s.begin(), s.end());
        area.push_back(0);
    }
    area.push_back(0);
    area.resize(std::max({area.size(), ENV_AREA_SIZE, pad_to}), 0);
    return area;
}

options parse(const std::vector<std::string>& settings) {
    reset_options();
    parse_env_area(area_of(settings).data());
    return current();
}

struct env_case {
    const char* what;
    std::vector<std::string> settings;
    options want;
};

TEST(BootEnvironment, OptionsFromSettings) {
    const env_case cases[] = {
        {"no options", {"bootdelay=3", "baudrate=9600"}, kDefaults},
        {"gdbserver alone turns the debugger on too", {"gdbserver=on"}, {1, 1, 1234, 0, 0, 0, 0}},
        {"gdb with gdbserver off", {"gdb=on", "gdbserver=off"}, {1, 0, 1234, 0, 0, 0, 0}},
        {"gdbserver off never clears gdb", {"gdbserver=no", "gdb=on"}, {1, 0, 1234, 0, 0, 0, 0}},
        {"prefix test", {"shell=onx"}, {0, 0, 1234, 1, 0, 0, 0}},
        {"case matters", {"shell=ON", "memchk=On"}, kDefaults},
        {"memchk", {"memchk=on"}, {0, 0, 1234, 0, 1, 0, 0}},
        {"key inside another setting's name", {"xgdb=on"}, {1, 0, 1234, 0, 0, 0, 0}},
        {"key inside a value", {"bootargs=console=ttyS0 kgdb=on"}, {1, 0, 1234, 0, 0, 0, 0}},
        {"first occurrence counts", {"shell=off", "shell=on"}, kDefaults},
        {"rescue", {"diagnostics=rescue"}, {0, 0, 1234, 0, 0, 1, 0}},
        {"diags", {"diagnostics=diags"}, {0, 0, 1234, 0, 0, 0, 1}},
        {"other diagnostics value", {"diagnostics=resc"}, kDefaults},
        {"port number", {"gdbport=2345"}, {0, 0, 2345, 0, 0, 0, 0}},
        {"port of letters", {"gdbport=abc"}, kDefaults},
        {"digits then letters", {"gdbport=99ab"}, {0, 0, 99, 0, 0, 0, 0}},
        {"signed port, not range checked", {"gdbport=-7"}, {0, 0, -7, 0, 0, 0, 0}},
        {"blanks then the next setting's digits", {"gdbport=", "77x"}, {0, 0, 77, 0, 0, 0, 0}},
        {"nothing but blanks to the end", {"gdbport="}, kDefaults},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(c.settings), c.want) << c.what;
}

TEST(BootEnvironment, SettingsAreCutAtTheEndOfTheArea) {
    // "shell=on" straddles the end: only "shell=o" is seen. "memchk=on" lies beyond it.
    std::string pad(ENV_AREA_SIZE - 1 - 7, 'p');
    std::vector<uint8_t> area = area_of({"x=" + pad.substr(2), "shell=on", "memchk=on"});
    ASSERT_GT(area.size(), ENV_AREA_SIZE);
    reset_options();
    parse_env_area(area.data());
    EXPECT_EQ(current(), kDefaults);

    // The same setting one byte earlier fits whole.
    area = area_of({"x=" + pad.substr(3), "shell=on"});
    reset_options();
    parse_env_area(area.data());
    EXPECT_EQ(shell_enable, 1);
}

class BootEnvironmentPartition : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_mtd::reset();
        for (const char* p : {"uboot", "devicetree", "kernel", "rfs", "rescue"})
            fake_mtd::add(p, 256 * 1024);
        auto& env = fake_mtd::add("ubootenv", 128 * 1024, 65536, 0);
        std::vector<uint8_t> area = area_of({"shell=on", "gdbport=4000"});
        std::memcpy(env.cells.data() + 4, area.data(), ENV_AREA_SIZE);
        reset_options();
    }
    void TearDown() override { fake_mtd::reset(); }
};

TEST_F(BootEnvironmentPartition, ReadsFromOffsetFour) {
    // The boot loader's checksum word is skipped, whatever it holds.
    std::memcpy(fake_mtd::get("ubootenv").cells.data(), "gdb=", 4);
    ASSERT_EQ(api_flash_init(), 0);
    parse_uboot_env();
    EXPECT_EQ(current(), (options{0, 0, 4000, 1, 0, 0, 0}));
}

TEST_F(BootEnvironmentPartition, FailedReadYieldsNoOptions) {
    fake_mtd::get("ubootenv").fail_read_block = 0;
    ASSERT_EQ(api_flash_init(), 0);
    parse_uboot_env();
    EXPECT_EQ(current(), kDefaults);
}

} // namespace

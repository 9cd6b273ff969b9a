// SPDX-License-Identifier: MIT
// The line editor key by key: the exact echo and the line that results, byte for byte.
#include "console.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr char BS = '\b', BEL = '\a';

struct edit {
    std::string line; // what the buffer holds when the line has ended
    std::string echo; // every byte shown for the keys
    bool done;
};

// Keys in turn into a fresh line of 128 bytes, as every question has.
edit type(const std::string& keys) {
    std::string buffer(128, 'x');
    line_state st = line_begin(buffer.data(), 128);
    std::string echo;
    for (unsigned char k : keys) {
        EXPECT_FALSE(st.done) << "a key after the line ended";
        line_key(st, k, echo);
    }
    // Whatever was edited, every byte after the line is zero.
    const size_t n = buffer.find('\0');
    EXPECT_EQ(buffer.find_first_not_of('\0', n), std::string::npos);
    return {buffer.substr(0, n), echo, st.done};
}

std::string bs(size_t n) {
    return std::string(n, BS);
}

TEST(LineEditor, KeysEchoAndLine) {
    const std::string a127(127, 'a');
    struct {
        const char* what;
        std::string keys, echo, line;
    } cases[] = {
        {"empty line", "\r", "\n", ""},
        {"line feed ends it too", "ab\n", "ab\n", "ab"},
        {"Ctrl-B twice, insert", "abcd\x02\x02X\r", "abcd" + bs(2) + "Xcd" + bs(2) + "\n", "abXcd"},
        {"Ctrl-A, insert", "abcd\x01X\r", "abcd" + bs(4) + "Xabcd" + bs(4) + "\n", "Xabcd"},
        {"Ctrl-B past the start, Ctrl-F past the end", "ab\x02\x02\x02\x06\x06\x06X\r",
         "ab" + bs(2) + "abX\n", "abX"},
        {"cursor keys with and without parameters", "ab\x1b[D\x1b[1;5D\x1b[C\x1b[1;5CX\r",
         "ab" + bs(2) + "abX\n", "abX"},
        // The worked example: 'abcd', cursor after 'b', Backspace, then 'X'.
        {"Backspace and insert in the middle", "abcd\x02\x02\x7fX\r",
         "abcd" + bs(3) + "cd " + bs(3) + "Xcd" + bs(2) + "\n", "aXcd"},
        {"Ctrl-D in the middle", "abcd\x02\x02\x04\r", "abcd" + bs(2) + "d " + bs(2) + "\n", "abd"},
        {"ESC then BS is Backspace", "abcd\x02\x02\x1b\x08\r",
         "abcd" + bs(3) + "cd " + bs(3) + "\n", "acd"},
        {"Backspace at the end and past the start",
         "ab\x7f\x7f\x7f"
         "cd\r",
         "ab" + bs(1) + " " + bs(2) + " " + bs(1) + "cd\n", "cd"},
        {"nothing to do at either end",
         "\x7f\x02\x01"
         "ab\x06\x04\r",
         "ab\n", "ab"},
        {"up, down and delete keys are dropped", "ab\x1b[A\x1b[B\x1b[3~\r", "ab\n", "ab"},
        {"a line cannot end inside ESC [", "ab\x1b[\rc\r", "abc\n", "abc"},
        {"ESC then a plain key inserts it", "a\x1bx\x1bOC\r", "axOC\n", "axOC"},
        {"ESC ESC stays after ESC",
         "a\x1b\x1b"
         "b\r",
         "ab\n", "ab"},
        {"ESC then Enter ends the line", "a\x1b\r", "a\n", "a"},
        {"control keys ring the bell",
         "a\tb\x05\x0b\x15"
         "c\r",
         "a\ab\a\a\ac\n", "abc"},
        {"an empty read rings the bell", std::string("a\0b\r", 4), "a\ab\n", "ab"},
        {"bytes 128 to 255 are stored", "\x80\xff\r", "\x80\xff\n", "\x80\xff"},
        // 127 characters fit in the 128-byte buffer, the 128th only rings the bell; after
        // a Backspace one more fits.
        {"the line's end",
         a127 + "b\x7f"
                "c\r",
         a127 + BEL + BS + " " + BS + "c\n", std::string(126, 'a') + "c"},
        {"Ctrl-C as a character is Break", "zz\x03", "zz <break>\n", "zz"},
    };
    for (const auto& c : cases) {
        const edit e = type(c.keys);
        EXPECT_EQ(e.echo, c.echo) << c.what;
        EXPECT_EQ(e.line, c.line) << c.what;
        EXPECT_TRUE(e.done) << c.what;
    }
}

TEST(LineEditor, EndOfInputBreaksTheLineWhateverTheEscapeState) {
    for (const std::string keys : {"ab", "ab\x1b", "ab\x1b["}) {
        std::string buffer(16, '\0');
        line_state st = line_begin(buffer.data(), 16);
        std::string echo;
        for (unsigned char k : keys)
            line_key(st, k, echo);
        line_key(st, KEY_END_OF_INPUT, echo);
        EXPECT_TRUE(st.done);
        EXPECT_EQ(echo, "ab <break>\n");
        EXPECT_STREQ(buffer.c_str(), "ab");
    }
}

} // namespace

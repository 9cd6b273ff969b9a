// SPDX-License-Identifier: MIT
#include "console.h"

#include <cstdio>
#include <cstring>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int BEL = 7, BS = 8, LF = 10, CR = 13, ESC = 27, DEL = 127;

// True when the last read of the console found the end of its input.
bool g_input_ended = false;

// Puts the console's settings back when a single-key read ends, on every path.
struct console_settings_guard {
    termios saved{};
    bool have = tcgetattr(0, &saved) == 0;
    ~console_settings_guard() {
        if (have)
            tcsetattr(0, TCSANOW, &saved);
    }
};

// The console set to hand over each key as it comes, unechoed; the settings it was set to.
termios raw_keys(const console_settings_guard& guard) {
    termios raw = guard.saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (guard.have)
        tcsetattr(0, TCSANOW, &raw);
    return raw;
}

void uartPutC(int c) {
    putchar(static_cast<unsigned char>(c));
    fflush(stdout);
}

// A byte that ended an escape sequence at the menu without belonging to it: the next key.
int g_pending = -1;

// The next byte within the raw session's wait, or -1 when none came.
int next_byte() {
    unsigned char b = 0;
    return read(0, &b, 1) == 1 ? b : -1;
}

// After an ESC, the rest of a cursor or function key's sequence (ESC [ parameters final,
// or ESC O final), or the one key an Alt press sent with it. A sequence ends at the first
// byte that cannot continue it, and that byte is kept as the next key.
void drop_escape_rest() {
    int b = next_byte();
    if (b < 0)
        return; // a lone ESC
    if (b == '[') {
        do
            b = next_byte();
        while (b >= 0x20 && b <= 0x3F); // parameter and intermediate bytes
    } else if (b == 'O') {
        b = next_byte();
    } else if (b >= 0x20 && b <= 0x7E) {
        return; // Alt and a key
    }
    if (b >= 0 && (b < 0x40 || b > 0x7E))
        g_pending = b;
}

// Drops what arrives within the next moment: the rest of a line pasted at the menu.
void drop_paste() {
    while (next_byte() >= 0) {
    }
}

// One key in raw mode. With `whole_key` (the menu), an escape sequence is read to its end
// in the same raw session and comes back as the one key ESC, and what follows the key
// within a moment is dropped.
int read_key(bool whole_key) {
    if (whole_key && g_pending >= 0) {
        const int key = g_pending;
        g_pending = -1;
        return key;
    }
    unsigned char c = 0;
    ssize_t n;
    {
        console_settings_guard guard;
        termios raw = raw_keys(guard);
        n = read(0, &c, 1);
        if (n == 1 && whole_key && guard.have) {
            // The bytes of one key, or of a paste, arrive together; a tenth of a second
            // without one ends the wait.
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 1;
            tcsetattr(0, TCSANOW, &raw);
            if (c == ESC)
                drop_escape_rest();
            drop_paste();
        }
    }
    g_input_ended = n == 0;
    return n == 1 ? c : 0;
}

// What a key does to the line when no escape sequence is under way.
enum class key_action { bell, home, left, right, brk, del, backspace, enter, escape, insert };

key_action action_of(int key) {
    switch (key) {
    case 1:
        return key_action::home;
    case 2:
        return key_action::left;
    case 3:
    case KEY_END_OF_INPUT:
        return key_action::brk;
    case 4:
        return key_action::del;
    case 6:
        return key_action::right;
    case BS:
    case DEL:
        return key_action::backspace;
    case LF:
    case CR:
        return key_action::enter;
    case ESC:
        return key_action::escape;
    default:
        return key < 32 ? key_action::bell : key_action::insert;
    }
}

size_t length_of(const line_state& st) {
    return size_t(st.size - st.room);
}

// Redraws from the cursor after a character was removed there.
void redraw_after_removal(const line_state& st, std::string& echo) {
    const size_t rest = length_of(st) - st.cursor;
    echo.append(st.buf + st.cursor, rest);
    echo += ' ';
    echo.append(rest + 1, char(BS));
}

void apply(line_state& st, key_action a, int key, std::string& echo) {
    switch (a) {
    case key_action::bell:
        echo += char(BEL);
        break;
    case key_action::home:
        echo.append(st.cursor, char(BS));
        st.cursor = 0;
        break;
    case key_action::left:
        if (st.cursor > 0) {
            --st.cursor;
            echo += char(BS);
        }
        break;
    case key_action::right:
        if (st.cursor < length_of(st))
            echo += st.buf[st.cursor++];
        break;
    case key_action::brk:
        echo += " <break>\n";
        st.done = true;
        break;
    case key_action::backspace:
        if (st.cursor == 0)
            break;
        --st.cursor;
        echo += char(BS);
        [[fallthrough]];
    case key_action::del:
        if (st.cursor == length_of(st))
            break;
        std::memmove(st.buf + st.cursor, st.buf + st.cursor + 1, length_of(st) - st.cursor);
        ++st.room;
        redraw_after_removal(st, echo);
        break;
    case key_action::enter:
        echo += char(LF);
        st.done = true;
        break;
    case key_action::escape:
        st.escape = 1;
        break;
    case key_action::insert: {
        if (st.room <= 1) {
            echo += char(BEL);
            break;
        }
        const size_t rest = length_of(st) - st.cursor;
        echo += char(key);
        echo.append(st.buf + st.cursor, rest);
        std::memmove(st.buf + st.cursor + 1, st.buf + st.cursor, rest + 1);
        echo.append(rest, char(BS));
        st.buf[st.cursor++] = static_cast<char>(key);
        --st.room;
        break;
    }
    }
}

} // namespace

line_state line_begin(char* buffer, int size) {
    std::memset(buffer, 0, size_t(size));
    return {buffer, size, 0, size, 0, false};
}

void line_key(line_state& st, int key, std::string& echo) {
    if (key == KEY_END_OF_INPUT) {
        apply(st, key_action::brk, key, echo);
        return;
    }
    if (st.escape == 1) {
        st.escape = 0;
        if (key == '[')
            st.escape = 2;
        else if (key == BS || key == DEL)
            apply(st, key_action::backspace, key, echo);
        else
            apply(st, action_of(key), key, echo);
        return;
    }
    if (st.escape == 2) {
        if ((key >= '0' && key <= '9') || key == ';')
            return;
        st.escape = 0;
        if (key == 'C')
            apply(st, key_action::right, key, echo);
        else if (key == 'D')
            apply(st, key_action::left, key, echo);
        return;
    }
    apply(st, action_of(key), key, echo);
}

int uartGetC() {
    return read_key(false);
}

int console_read_key() {
    return read_key(true);
}

bool console_input_ended() {
    return g_input_ended;
}

char* get_user_input(char* buffer, int size) {
    // The whole line in one raw session: a key that arrives between two reads would
    // otherwise meet the cooked line, which echoes it a second time and keeps it back.
    console_settings_guard guard;
    raw_keys(guard);
    line_state st = line_begin(buffer, size);
    std::string echo;
    while (!st.done) {
        int k = uartGetC();
        if (k == 0 && console_input_ended())
            k = KEY_END_OF_INPUT;
        echo.clear();
        line_key(st, k, echo);
        // Every byte reaches the console on its own, so the screen follows each key.
        for (char c : echo)
            uartPutC(static_cast<unsigned char>(c));
    }
    api_discard_typed_ahead();
    return buffer;
}

void console_ask(const char* question) {
    fputs(question, stdout);
    fflush(stdout);
    // Only what is typed once the question is on the console may answer it.
    tcdrain(1);
    api_discard_typed_ahead();
}

void api_discard_typed_ahead() {
    __fpurge(stdin);
    tcflush(0, TCIFLUSH);
}

char* api_read_answer(char* buffer, int size) {
    char* line = fgets(buffer, size, stdin);
    api_discard_typed_ahead();
    return line;
}

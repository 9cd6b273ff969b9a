// SPDX-License-Identifier: MIT
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The operator's console: standard input and output, a serial line on the blade.

// One key, unechoed, without waiting for a line end; 0 when the read delivered nothing (an
// interrupt, or the end of input).
int uartGetC();
// One key as the menu takes it: a cursor or function key's escape sequence is read to its
// end and comes back as the one key ESC.
int console_read_key();
// True when the last read of the console found the end of its input.
bool console_input_ended();
// Edits one line into `buffer` (`size` bytes with its terminating zero) and returns it.
char* get_user_input(char* buffer, int size);

// Puts a question on the console (no line end), waits until it has left the line, and
// drops what was typed before: only a key pressed once the question is seen answers it.
void console_ask(const char* question);
// Drops what was typed on the console and not read yet, so that it cannot answer the
// next question.
void api_discard_typed_ahead();
// One answer line from standard input, at most `size` - 1 bytes, or nullptr at its end;
// the rest of the line and anything typed after it are discarded.
char* api_read_answer(char* buffer, int size);

// The line editor, one key at a time and without any input or output of its own: the
// state after a key, and the bytes the console must show for it.
struct line_state {
    char* buf;      // the caller's buffer: the line, zero-terminated, zeros after it
    int size;       // its size; the line holds at most size - 1 characters
    size_t cursor;  // editing position, 0 to the line's length
    int room;       // size less the line's length
    uint8_t escape; // 0, 1 after ESC, 2 inside ESC [ ...
    bool done;      // Enter or Break ended the line
};

// A console that can send nothing more: the line ends as Break would end it.
constexpr int KEY_END_OF_INPUT = -1;

// An empty line in `buffer`, which is zero-filled.
line_state line_begin(char* buffer, int size);
// Applies one key (0 to 255, or KEY_END_OF_INPUT) and appends its echo to `echo`.
void line_key(line_state& st, int key, std::string& echo);

// SPDX-License-Identifier: MIT
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

// Launch options from the boot environment.
extern int gdb_enable;
extern int gdbserver_enable;
extern int gdbport;
extern uint8_t shell_enable;
extern uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;

// Set by the SIGINT handler; cleared only by the rescue menu.
extern volatile uint8_t sig_quit_raised;

// Bytes of the boot environment the launcher reads, from offset 4 of its partition.
constexpr size_t ENV_AREA_SIZE = 1280;

int sig_init();
void sig_handler(int signum);
[[noreturn]] void board_reset();

// Reads the boot environment partition and sets the launch options.
int parse_uboot_env();
// Sets the launch options from the raw environment area (ENV_AREA_SIZE bytes).
void parse_env_area(const uint8_t* area);

// The one door to the shell: every command text the launcher runs goes through here.
// Output written so far is flushed first. A command ending in "&> /dev/null" is run
// with both outputs discarded in the form every POSIX shell reads the same way.
int api_run_command(const char* command);

// Drops what was typed on the console and not read yet, so that it cannot answer the
// next question.
void api_discard_typed_ahead();
// One answer line from standard input, at most `size` - 1 bytes, or nullptr at its end;
// the rest of the line and anything typed after it are discarded.
char* api_read_answer(char* buffer, int size);

// Replaces the launcher by `program` (no arguments but its name); returns only when the
// program cannot be executed. Output written so far is flushed first.
int api_exec_program(const char* program);

// Slot to boot, 1 or 2, from the VPD record.
int which_image();
// Extracts and launches the slot's application; returns 0 only on a first attempt
// whose package was unusable.
int extract_image(int slot);
// Extracts and launches the rescue partition's image; returns 0 when it has none usable.
int extract_image_from_flash();
// Takes the debugger from the other slot's first component: 1 when /tmp/gdb was made.
int extract_gdb(int slot);
// Unpacks the application archive and starts the application; does not return.
[[noreturn]] void launch_image(uint8_t diags);

// Set by main before the second extraction attempt.
extern uint8_t tried_alt_image;
// Command texts are formatted here before they are run.
extern char stringbuff[256];

constexpr const char* APP_ARCHIVE = "/tmp/vemiximage.tar.gz";
constexpr const char* DOWNLOAD_FILE = "/tmp/image";

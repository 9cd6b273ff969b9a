// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>

// Set by the SIGINT handler; cleared only by the rescue menu.
extern volatile uint8_t sig_quit_raised;

int sig_init();
void sig_handler(int signum);
[[noreturn]] void board_reset();

// The one door to the shell: every command text the launcher runs goes through here.
// Output written so far is flushed first. A command ending in "&> /dev/null" is run
// with both outputs discarded in the form every POSIX shell reads the same way.
int api_run_command(const char* command);

// Slot to boot, 1 or 2, from the VPD record.
int which_image();
// Extracts and launches the slot's application; returns 0 only on a first attempt
// whose package was unusable.
int extract_image(int slot);
// Extracts and launches the rescue partition's image; returns 0 when it has none usable.
int extract_image_from_flash();
// Takes the debugger from the other slot's first component: 1 when /tmp/gdb was made.
int extract_gdb(int slot);
// Records BOOTED (1 or 2 for a slot, 4 for the rescue partition, 0 for nothing) as the
// booted image, unpacks the application archive and starts the application; returns only
// when the archive did not unpack or left no program to start.
void launch_image(uint8_t diags, uint8_t booted);

// Set by main before the second extraction attempt.
extern uint8_t tried_alt_image;
// Command texts are formatted here before they are run.
extern char stringbuff[256];

// SPDX-License-Identifier: MIT
#pragma once
#include <termios.h>

// The console serial port's settings before the switch to the download speed.
extern termios oldtty;

// Switches "/dev/ttyS0" to 115200 baud, raw 8N1, and waits for the operator's Enter at
// that speed: the port's descriptor, or -1 when it cannot be opened.
int init_serial();
// Puts the saved settings back and waits for the operator's Enter at the old speed.
void reset_serial(int fd);

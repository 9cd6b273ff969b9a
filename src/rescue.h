// SPDX-License-Identifier: MIT
#pragma once
#include <cstddef>

// The rescue menu; returns 1 when the operator leaves it.
int run_rescue_mode();
// The installed versions; always 0.
int run_image_display();
// Offers the filesystem wipe and boots the rescue partition's image; returns 1 only when
// that image cannot be booted.
int run_standalone_diags();

// Menu T: configures eth1, fetches a package into /tmp/image by TFTP and installs it.
int run_tftp_rescue();
// Menu X: receives a package into /tmp/image over the console with XMODEM-1K and
// installs it.
int run_xmodem_rescue();

// True when a TFTP file name can go into a shell command line as it is.
bool safe_file_name(const char* name);

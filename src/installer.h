// SPDX-License-Identifier: MIT
#pragma once

// Installs every component of the package at `path`: flash components to their
// partitions, the application to the slot the operator names (or boots it at once).
// 1 when the walk ended without a failure and something was written, 0 otherwise.
int processBladeImage(const char* path);

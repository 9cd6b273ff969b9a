// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>

// Component checksum: reflected CRC-32 (polynomial 0xEDB88320), no final inversion.
// Every caller starts from 0xFFFFFFFF; the result is the complement of zlib's crc32.
uint32_t gen_crc(const void* data, uint32_t count, uint32_t start);

// SPDX-License-Identifier: MIT
// Whether an application or diagnostics archive can start: gzip data (every member whole,
// its CRC and length right) whose contents are a tar archive holding the program the
// launcher runs from it, as a plain file. Judged as the bytes stream by, in a fixed amount
// of memory whatever the archive's size: the blade has no zlib, so the inflater is here.
#pragma once
#include <cstddef>
#include <cstdint>

enum class archive_verdict {
    holds_program, // a gzip-compressed tar whose members include the program
    not_gzip,      // not gzip data, or gzip data that is damaged or ends early
    not_tar,       // gzip data whose contents are no tar archive
    no_program     // a tar archive without the program
};

// A canonical Huffman code: how many codes of each length, and the symbols in code order.
struct huffman_code {
    uint16_t count[16];
    uint16_t symbol[288];
};

struct archive_check {
    const char* program; // the member looked for, e.g. "home/bin/mp.elf.strip"
    // The gzip member and deflate stream being read.
    int state;
    bool failed;
    uint8_t flags;   // the member header's flags still to pass over
    uint32_t stored; // bytes left in a stored block
    bool last_block;
    uint32_t crc, size; // of the member's data so far
    uint32_t bits;
    int bit_count;
    uint8_t in[4096 + 1024];
    size_t in_len, in_pos;
    huffman_code lencode, distcode;
    // The last 32 KiB of output, for back-references, and how much of it the tar reader and
    // the CRC have not yet seen.
    uint8_t window[32768];
    uint32_t out_pos, pending;
    uint64_t out_total;
    // The tar archive inside.
    bool tar_ended, headers_seen, found;
    uint8_t block[512];
    size_t have;
    uint64_t skip;
};

void archive_begin(archive_check& c, const char* program);
void archive_feed(archive_check& c, const uint8_t* data, size_t n);
archive_verdict archive_end(archive_check& c);

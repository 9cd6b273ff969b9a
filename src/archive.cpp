// SPDX-License-Identifier: MIT
#include "archive.h"

#include "crc.h"

#include <cstring>

namespace {

constexpr uint32_t WINDOW_MASK = sizeof(archive_check::window) - 1;
static_assert((WINDOW_MASK & (WINDOW_MASK + 1)) == 0, "the window is a power of two");
// The most input one step can take: a dynamic block's code tables. A step begins only with
// this much at hand, unless the input has ended.
constexpr size_t STEP_INPUT = 1024;
// Output goes to the CRC and the tar reader in pieces of this size.
constexpr uint32_t OUT_PIECE = 4096;
constexpr size_t TAR_BLOCK = 512;

enum state : int {
    GZ_HEAD,    // the member header's fixed ten bytes
    GZ_EXTRA,   // its optional fields, as its flags say
    BLOCK_HEAD, // a deflate block's header
    STORED,     // a stored block's bytes
    CODES,      // a Huffman-coded block's symbols
    TRAILER,    // the member's CRC and length
    MEMBER_END, // between members, or at the end
};

constexpr uint8_t FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// --- bits -----------------------------------------------------------------------------------

// N (at most 16) bits of the input, least significant first; 0 with `failed` set when the
// input has none left.
uint32_t take(archive_check& c, int n) {
    while (c.bit_count < n) {
        if (c.in_pos == c.in_len) {
            c.failed = true;
            return 0;
        }
        c.bits |= uint32_t(c.in[c.in_pos++]) << c.bit_count;
        c.bit_count += 8;
    }
    const uint32_t v = c.bits & ((1u << n) - 1);
    c.bits >>= n;
    c.bit_count -= n;
    return v;
}

void to_byte_boundary(archive_check& c) {
    c.bits >>= c.bit_count % 8;
    c.bit_count -= c.bit_count % 8;
}

// --- the tar archive in the output ----------------------------------------------------------

// A tar header's number: octal digits (space or NUL ended), or base-256 when the first
// byte's high bit is set. False when the field is neither.
bool tar_number(const uint8_t* field, size_t size, uint64_t* value) {
    uint64_t v = 0;
    if (field[0] & 0x80) {
        for (size_t i = 1; i < size; ++i) {
            if (v >> 55)
                return false;
            v = (v << 8) | field[i];
        }
        *value = v;
        return true;
    }
    size_t i = 0;
    while (i < size && field[i] == ' ')
        ++i;
    bool digits = false;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v >> 60)
            return false;
        v = (v << 3) | uint64_t(field[i] - '0');
        digits = true;
    }
    if (i < size && field[i] != ' ' && field[i] != '\0')
        return false;
    *value = v;
    return digits;
}

// The header's checksum: its bytes summed with the checksum field as spaces.
bool header_checks(const uint8_t* b) {
    uint64_t stored = 0;
    if (!tar_number(b + 148, 8, &stored))
        return false;
    uint64_t sum = 0;
    for (size_t i = 0; i < TAR_BLOCK; ++i)
        sum += (i >= 148 && i < 156) ? uint8_t(' ') : b[i];
    return sum == stored;
}

// The member's path as tar writes it, the ustar prefix first, against the program's
// (a leading "./" is the same path).
bool names_program(const uint8_t* b, const char* program) {
    char path[155 + 1 + 100 + 1] = {};
    size_t n = 0;
    if (std::memcmp(b + 257, "ustar", 5) == 0 && b[345] != '\0') {
        n = strnlen(reinterpret_cast<const char*>(b + 345), 155);
        std::memcpy(path, b + 345, n);
        path[n++] = '/';
    }
    std::memcpy(path + n, b, strnlen(reinterpret_cast<const char*>(b), 100));
    const char* p = path;
    while (p[0] == '.' && p[1] == '/')
        p += 2;
    return std::strcmp(p, program) == 0;
}

void take_header(archive_check& c) {
    static const uint8_t zeros[TAR_BLOCK] = {};
    uint64_t size = 0;
    if (std::memcmp(c.block, zeros, TAR_BLOCK) == 0 || !header_checks(c.block) ||
        !tar_number(c.block + 124, 12, &size)) {
        // The end-of-archive blocks, or what is no tar header (the verdict tells which).
        c.tar_ended = true;
        return;
    }
    c.headers_seen = true;
    const uint8_t type = c.block[156];
    const bool plain = type == '0' || type == '\0' || type == '7';
    c.found = c.found || (plain && names_program(c.block, c.program));
    // Directories, links and devices carry no data whatever their size field says.
    const bool has_data = plain || type == 'L' || type == 'K' || type == 'x' || type == 'g';
    c.skip = has_data ? (size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK : 0;
}

void tar_feed(archive_check& c, const uint8_t* data, size_t n) {
    while (n > 0 && !c.tar_ended) {
        if (c.skip > 0) {
            const size_t k = c.skip < n ? size_t(c.skip) : n;
            c.skip -= k;
            data += k;
            n -= k;
            continue;
        }
        const size_t k = TAR_BLOCK - c.have < n ? TAR_BLOCK - c.have : n;
        std::memcpy(c.block + c.have, data, k);
        c.have += k;
        data += k;
        n -= k;
        if (c.have == TAR_BLOCK) {
            c.have = 0;
            take_header(c);
        }
    }
}

// --- output ---------------------------------------------------------------------------------

void flush_output(archive_check& c) {
    uint32_t from = (c.out_pos - c.pending) & WINDOW_MASK;
    while (c.pending > 0) {
        const uint32_t k = c.pending < WINDOW_MASK + 1 - from ? c.pending : WINDOW_MASK + 1 - from;
        c.crc = gen_crc(c.window + from, k, c.crc);
        tar_feed(c, c.window + from, k);
        c.pending -= k;
        from = (from + k) & WINDOW_MASK;
    }
}

void put(archive_check& c, uint8_t b) {
    c.window[c.out_pos++ & WINDOW_MASK] = b;
    ++c.size;
    ++c.out_total;
    if (++c.pending == OUT_PIECE)
        flush_output(c);
}

// --- Huffman codes --------------------------------------------------------------------------

// The code from each symbol's length; how many codes are left unused (0 for a complete
// code), or -1 for lengths that over-subscribe it.
int build(huffman_code& h, const uint8_t* lengths, int n) {
    std::memset(h.count, 0, sizeof h.count);
    for (int s = 0; s < n; ++s)
        ++h.count[lengths[s]];
    int left = 1;
    for (int len = 1; len < 16; ++len) {
        left = (left << 1) - h.count[len];
        if (left < 0)
            return -1;
    }
    uint16_t offset[16] = {};
    for (int len = 1; len < 15; ++len)
        offset[len + 1] = uint16_t(offset[len] + h.count[len]);
    for (int s = 0; s < n; ++s)
        if (lengths[s] != 0)
            h.symbol[offset[lengths[s]]++] = uint16_t(s);
    return left;
}

// The next symbol, or -1 (with `failed` set when the input ran out).
int decode(archive_check& c, const huffman_code& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
        code |= int(take(c, 1));
        if (c.failed)
            return -1;
        const int count = h.count[len];
        if (code - count < first)
            return h.symbol[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1; // a code the block does not have
}

// A code is usable complete, or incomplete with a single code of its kind.
bool usable(int left, const huffman_code& h, int n) {
    return left == 0 || (left > 0 && n - h.count[0] == 1);
}

bool fixed_codes(archive_check& c) {
    uint8_t lengths[288 + 30];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    std::memset(lengths + 288, 5, 30);
    build(c.lencode, lengths, 288);
    build(c.distcode, lengths + 288, 30);
    return true;
}

bool dynamic_codes(archive_check& c) {
    const int nlen = int(take(c, 5)) + 257, ndist = int(take(c, 5)) + 1,
              ncode = int(take(c, 4)) + 4;
    if (c.failed || nlen > 286 || ndist > 30)
        return false;
    uint8_t lengths[286 + 30] = {};
    for (int i = 0; i < ncode; ++i)
        lengths[kCodeLengthOrder[i]] = uint8_t(take(c, 3));
    if (c.failed || build(c.lencode, lengths, 19) != 0)
        return false;
    for (int i = 0; i < nlen + ndist;) {
        const int sym = decode(c, c.lencode);
        if (sym < 0)
            return false;
        if (sym < 16) {
            lengths[i++] = uint8_t(sym);
            continue;
        }
        uint8_t len = 0;
        int repeat;
        if (sym == 16) {
            if (i == 0)
                return false;
            len = lengths[i - 1];
            repeat = 3 + int(take(c, 2));
        } else {
            repeat = sym == 17 ? 3 + int(take(c, 3)) : 11 + int(take(c, 7));
        }
        if (c.failed || i + repeat > nlen + ndist)
            return false;
        while (repeat-- > 0)
            lengths[i++] = len;
    }
    if (lengths[256] == 0)
        return false; // no end of block
    const int lenleft = build(c.lencode, lengths, nlen);
    const int distleft = build(c.distcode, lengths + nlen, ndist);
    return usable(lenleft, c.lencode, nlen) && usable(distleft, c.distcode, ndist);
}

// --- the steps ------------------------------------------------------------------------------

bool gzip_head(archive_check& c) {
    uint8_t h[10];
    for (uint8_t& b : h)
        b = uint8_t(take(c, 8));
    if (c.failed || h[0] != 0x1f || h[1] != 0x8b || h[2] != 8 || (h[3] & 0xe0))
        return false;
    c.flags = h[3];
    c.crc = 0xFFFFFFFFu;
    c.size = 0;
    c.state = GZ_EXTRA;
    return true;
}

// One byte (or the extra field's length) of the header's optional fields at a time.
bool gzip_extra(archive_check& c) {
    if (c.flags & FEXTRA) {
        if (c.stored == 0 && !(c.flags & 0x80)) {
            c.stored = take(c, 16);
            c.flags |= 0x80; // the length is read
        } else if (c.stored > 0) {
            take(c, 8);
            --c.stored;
        }
        if (c.stored == 0 && (c.flags & 0x80))
            c.flags &= uint8_t(~(FEXTRA | 0x80));
    } else if (c.flags & FNAME) {
        if (take(c, 8) == 0)
            c.flags &= uint8_t(~FNAME);
    } else if (c.flags & FCOMMENT) {
        if (take(c, 8) == 0)
            c.flags &= uint8_t(~FCOMMENT);
    } else if (c.flags & FHCRC) {
        take(c, 16);
        c.flags &= uint8_t(~FHCRC);
    } else {
        c.state = BLOCK_HEAD;
    }
    return !c.failed;
}

bool block_head(archive_check& c) {
    c.last_block = take(c, 1) != 0;
    const uint32_t type = take(c, 2);
    if (c.failed || type == 3)
        return false;
    if (type == 0) {
        to_byte_boundary(c);
        const uint32_t len = take(c, 16), nlen = take(c, 16);
        if (c.failed || len != (~nlen & 0xFFFF))
            return false;
        c.stored = len;
        c.state = STORED;
        return true;
    }
    c.state = CODES;
    return type == 1 ? fixed_codes(c) : dynamic_codes(c);
}

void block_done(archive_check& c) {
    c.state = c.last_block ? TRAILER : BLOCK_HEAD;
}

bool stored_bytes(archive_check& c) {
    // Whole bytes only here: the block header left the bit buffer on a byte boundary.
    while (c.stored > 0 && c.bit_count > 0) {
        put(c, uint8_t(take(c, 8)));
        --c.stored;
    }
    while (c.stored > 0 && c.in_pos < c.in_len) {
        put(c, c.in[c.in_pos++]);
        --c.stored;
    }
    if (c.stored == 0)
        block_done(c);
    return true;
}

bool symbol(archive_check& c) {
    int sym = decode(c, c.lencode);
    if (sym < 0)
        return false;
    if (sym < 256) {
        put(c, uint8_t(sym));
        return true;
    }
    if (sym == 256) {
        block_done(c);
        return true;
    }
    sym -= 257;
    if (sym >= 29)
        return false;
    const uint32_t len = kLengthBase[sym] + take(c, kLengthExtra[sym]);
    const int dsym = decode(c, c.distcode);
    if (dsym < 0 || dsym >= 30)
        return false;
    const uint32_t dist = kDistBase[dsym] + take(c, kDistExtra[dsym]);
    if (c.failed || dist > c.out_total || dist > WINDOW_MASK + 1)
        return false;
    for (uint32_t i = 0; i < len; ++i)
        put(c, c.window[(c.out_pos - dist) & WINDOW_MASK]);
    return true;
}

bool trailer(archive_check& c) {
    to_byte_boundary(c);
    uint32_t crc = 0, size = 0;
    for (int i = 0; i < 4; ++i)
        crc |= take(c, 8) << (8 * i);
    for (int i = 0; i < 4; ++i)
        size |= take(c, 8) << (8 * i);
    flush_output(c);
    if (c.failed || crc != (c.crc ^ 0xFFFFFFFFu) || size != c.size)
        return false;
    c.state = MEMBER_END;
    return true;
}

bool step(archive_check& c) {
    switch (c.state) {
    case GZ_HEAD:
        return gzip_head(c);
    case GZ_EXTRA:
        return gzip_extra(c);
    case BLOCK_HEAD:
        return block_head(c);
    case STORED:
        return stored_bytes(c);
    case CODES:
        return symbol(c);
    case TRAILER:
        return trailer(c);
    case MEMBER_END:
        // Another member follows, as gzip allows.
        c.state = GZ_HEAD;
        return true;
    }
    return false;
}

// Steps while the input holds enough for one; to its end when it has ended.
void run(archive_check& c, bool ended) {
    while (!c.failed) {
        const size_t left = c.in_len - c.in_pos;
        if (!ended && left < STEP_INPUT)
            break;
        if (ended && left == 0 && c.bit_count < 8) {
            if (c.state == MEMBER_END)
                break;
            if (c.state == STORED && c.stored > 0) {
                c.failed = true; // a stored block cut short
                break;
            }
        }
        if (!step(c))
            c.failed = true;
    }
}

} // namespace

void archive_begin(archive_check& c, const char* program) {
    std::memset(&c, 0, sizeof c);
    c.program = program;
    c.state = GZ_HEAD;
}

void archive_feed(archive_check& c, const uint8_t* data, size_t n) {
    while (n > 0 && !c.failed) {
        // Keep what is not yet taken at the front, then fill up.
        std::memmove(c.in, c.in + c.in_pos, c.in_len - c.in_pos);
        c.in_len -= c.in_pos;
        c.in_pos = 0;
        const size_t k = sizeof c.in - c.in_len < n ? sizeof c.in - c.in_len : n;
        std::memcpy(c.in + c.in_len, data, k);
        c.in_len += k;
        data += k;
        n -= k;
        run(c, false);
    }
}

archive_verdict archive_end(archive_check& c) {
    run(c, true);
    // The data must end where a gzip member ends: an archive cut short does not unpack.
    if (c.failed || c.state != MEMBER_END)
        return archive_verdict::not_gzip;
    if (c.found)
        return archive_verdict::holds_program;
    return c.headers_seen ? archive_verdict::no_program : archive_verdict::not_tar;
}

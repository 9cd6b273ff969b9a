// SPDX-License-Identifier: MIT
// The installer's archive check alone over a file, in the installer's 64 KiB pieces: its
// verdict and the seconds it took (the best of three passes).
#include "archive.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: archive_bench ARCHIVE PROGRAM\n", stderr);
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t piece[65536];
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, f)) > 0)
        data.insert(data.end(), piece, piece + n);
    fclose(f);
    static archive_check check;
    double best = 1e9;
    archive_verdict v = archive_verdict::not_gzip;
    for (int pass = 0; pass < 3; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        archive_begin(check, argv[2]);
        for (size_t at = 0; at < data.size(); at += sizeof piece)
            archive_feed(check, data.data() + at, std::min(sizeof piece, data.size() - at));
        v = archive_end(check);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        best = std::min(best, took.count());
    }
    printf("%s %.6f\n", v == archive_verdict::holds_program ? "holds" : "refused", best);
    return 0;
}

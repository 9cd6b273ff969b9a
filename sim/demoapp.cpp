// SPDX-License-Identifier: MIT
// Demo application for the simulated blade: names itself and the release it came in.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const char* self = argc > 0 ? argv[0] : "mp.elf.strip";
    if (const char* slash = std::strrchr(self, '/'))
        self = slash + 1;
    std::string release = "unknown release";
    if (FILE* f = fopen("/tmp/home/etc/release", "r")) {
        char line[128];
        if (fgets(line, sizeof line, f)) {
            release = line;
            while (!release.empty() && (release.back() == '\n' || release.back() == '\r'))
                release.pop_back();
        }
        fclose(f);
    }
    // A little heap traffic, so a preloaded memory checker has something to watch.
    char* scratch = static_cast<char*>(malloc(64));
    snprintf(scratch, 64, "%s", self);
    printf("%s: %s\n", scratch, release.c_str());
    free(scratch);
    return 0;
}

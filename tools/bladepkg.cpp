// SPDX-License-Identifier: MIT
// bladepkg: builds, lists, verifies and unpacks the blade's image packages.
#include "crc.h"
#include "handles.h"
#include "image.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kChunk = 64 * 1024;

// The problem of a first header that is no component: the file is not a package at all.
constexpr const char* kNotAPackage = "not an image package";

// The commands, each with its operands: a package PKG is read from standard input when
// it is '-', and OUT '-' is standard output.
struct command_line {
    const char* name;
    const char* usage;
    const char* options;               // what it takes besides -h, --help
    std::vector<const char*> operands; // what each operand is, in order
    bool more;                         // the last operand may repeat
};

const command_line kCommands[] = {
    {"create",
     "create OUT TYPE:VERSION:FILE...   (OUT '-': standard output)",
     "",
     {"OUT, the package to write", "TYPE:VERSION:FILE, a component to put in it"},
     true},
    {"list",
     "list [--json] PKG   (PKG '-': standard input)",
     "--json",
     {"PKG, the package to list"},
     false},
    {"verify", "verify PKG   (PKG '-': standard input)", "", {"PKG, the package to verify"}, false},
    {"extract",
     "extract [-c N] PKG DIR   (writes DIR/manifest for create)",
     "-c",
     {"PKG, the package to extract", "DIR, the directory to extract into"},
     false},
};

constexpr const char* kTypes = "TYPE is one of app, uboot, kernel, rfs, dtb, diags; VERSION is "
                               "a.b.c.d\n";

void print_usage(FILE* out) {
    for (const auto& c : kCommands)
        fprintf(out, "%s bladepkg %s\n", &c == kCommands ? "usage:" : "      ", c.usage);
    fprintf(out, "       bladepkg --help | --version   (COMMAND --help: that command's usage)\n%s",
            kTypes);
}

int usage() {
    print_usage(stderr);
    return 2;
}

// A usage error that names what was wrong with the command line.
int usage(const char* what, const std::string& argument) {
    fprintf(stderr, "bladepkg: %s '%s'\n", what, argument.c_str());
    return usage();
}

// A usage error that says what is missing.
int missing(const command_line& c, const char* what) {
    fprintf(stderr, "bladepkg: %s: missing %s\n", c.name, what);
    return usage();
}

// Writes to a temporary name beside the target and renames it into place when whole.
struct atomic_output {
    std::string path, tmp;
    file_ptr f;
    explicit atomic_output(const std::string& p) : path(p), tmp(p + ".part") {
        f.reset(fopen(tmp.c_str(), "wb"));
    }
    ~atomic_output() {
        if (f) {
            f.reset();
            unlink(tmp.c_str());
        }
    }
    bool commit() {
        bool ok = fflush(f.get()) == 0 && fsync(fileno(f.get())) == 0;
        ok = (fclose(f.release()) == 0) && ok;
        if (ok && rename(tmp.c_str(), path.c_str()) == 0)
            return true;
        unlink(tmp.c_str());
        return false;
    }
};

bool parse_version(const char* text, uint32_t* id) {
    unsigned v[4];
    char tail;
    if (sscanf(text, "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
        return false;
    for (unsigned x : v)
        if (x > 255)
            return false;
    *id = v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3];
    return true;
}

std::string version_text(uint32_t id) {
    char s[16];
    snprintf(s, sizeof s, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFF, (id >> 8) & 0xFF, id & 0xFF);
    return s;
}

// Copies `len` bytes from `in` to `out` (when given), returning the running CRC.
bool stream(FILE* in, FILE* out, uint64_t len, uint32_t* crc) {
    std::vector<uint8_t> buf(kChunk);
    while (len > 0) {
        size_t n = len < kChunk ? size_t(len) : kChunk;
        if (fread(buf.data(), 1, n, in) != n)
            return false;
        *crc = gen_crc(buf.data(), uint32_t(n), *crc);
        if (out && fwrite(buf.data(), 1, n, out) != n)
            return false;
        len -= n;
    }
    return true;
}

// The file a name finally stands for: a symbolic link is followed (a dangling one to the
// file it would make), so that the package replaces the link's target, not the link.
std::string final_target(const char* name) {
    if (char* real = realpath(name, nullptr)) {
        std::string target = real;
        free(real);
        return target;
    }
    char link[4096];
    const ssize_t n = readlink(name, link, sizeof link - 1);
    if (n <= 0)
        return name;
    link[n] = 0;
    if (link[0] == '/')
        return link;
    const char* slash = strrchr(name, '/');
    return slash ? std::string(name, size_t(slash - name) + 1) + link : std::string(link);
}

// Warns when an archive the launcher would unpack cannot start: the installer refuses it.
// The same check as the installer's, over the file.
void check_archive(const std::string& file, uint32_t magic) {
    const char* program = launched_program(magic);
    if (!program)
        return;
    static archive_check check;
    archive_begin(check, program);
    file_ptr in(fopen(file.c_str(), "rb"));
    static uint8_t piece[65536];
    size_t n;
    while (in && (n = fread(piece, 1, sizeof piece, in.get())) > 0)
        archive_feed(check, piece, n);
    const archive_verdict v = archive_end(check);
    if (v == archive_verdict::not_gzip || v == archive_verdict::not_tar)
        fprintf(stderr, "bladepkg: warning: %s is not a gzip-compressed tar archive\n",
                file.c_str());
    else if (v == archive_verdict::no_program)
        fprintf(stderr, "bladepkg: warning: %s lacks %s, the program the launcher starts\n",
                file.c_str(), program);
}

// One component from `item` (TYPE:VERSION:FILE): its CRC in a first pass over the file,
// then the header and the data, checked again, written to `out`.
int add_component(const std::string& item, FILE* out) {
    size_t c1 = item.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : item.find(':', c1 + 1);
    if (c2 == std::string::npos)
        return usage("expected TYPE:VERSION:FILE, not", item);
    std::string type = item.substr(0, c1), ver = item.substr(c1 + 1, c2 - c1 - 1);
    std::string file = item.substr(c2 + 1);
    const component_type* t = component_type_named(type.c_str());
    component_header h{0, 0, 0, 0};
    if (!t)
        return usage("unknown type", type);
    if (!parse_version(ver.c_str(), &h.id))
        return usage("bad version (a.b.c.d, each 0 to 255)", ver);
    h.magic = t->magic;
    file_ptr in(fopen(file.c_str(), "rb"));
    struct stat st;
    if (!in || fstat(fileno(in.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        fprintf(stderr, "bladepkg: cannot read %s: %s\n", file.c_str(),
                in ? strerror(EISDIR) : strerror(errno));
        return 1;
    }
    if (uint64_t(st.st_size) > MAX_COMPONENT_LEN) {
        fprintf(stderr, "bladepkg: %s is too large for a component\n", file.c_str());
        return 1;
    }
    h.len = uint32_t(st.st_size);
    uint8_t raw[HEADER_SIZE];
    encode_header(h, raw);
    h.crc = gen_crc(raw + 4, HEADER_SIZE - 4, 0xFFFFFFFFu);
    uint32_t again = h.crc;
    if (!stream(in.get(), nullptr, h.len, &h.crc) || fseeko(in.get(), 0, SEEK_SET) != 0) {
        fprintf(stderr, "bladepkg: reading %s failed\n", file.c_str());
        return 1;
    }
    encode_header(h, raw);
    if (fwrite(raw, 1, HEADER_SIZE, out) != HEADER_SIZE || !stream(in.get(), out, h.len, &again)) {
        fprintf(stderr, "bladepkg: writing the package failed\n");
        return 1;
    }
    if (again != h.crc) {
        fprintf(stderr, "bladepkg: %s changed while it was read\n", file.c_str());
        return 1;
    }
    check_archive(file, h.magic);
    return 0;
}

int create(int argc, char** argv) {
    // Standard output for "-"; a device or a pipe is written through; a regular file is
    // replaced only when the package is whole.
    const char* name = argv[0];
    std::unique_ptr<atomic_output> staged;
    file_ptr direct;
    FILE* out = stdout;
    struct stat st;
    if (std::strcmp(name, "-") == 0) {
        out = stdout;
    } else if (stat(name, &st) == 0 && !S_ISREG(st.st_mode)) {
        direct.reset(fopen(name, "wb"));
        out = direct.get();
    } else {
        staged = std::make_unique<atomic_output>(final_target(name));
        out = staged->f.get();
    }
    if (!out) {
        fprintf(stderr, "bladepkg: cannot create %s: %s\n", name, strerror(errno));
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        if (int r = add_component(argv[i], out))
            return r;
    const bool ok =
        staged ? staged->commit() : fflush(out) == 0 && (!direct || fclose(direct.release()) == 0);
    if (!ok) {
        fprintf(stderr, "bladepkg: writing %s failed\n", name);
        return 1;
    }
    return 0;
}

// One component as found by the package walk.
struct entry {
    uint64_t offset;
    component_header h;
    uint32_t computed;
    const char* problem; // nullptr when whole, known and matching its CRC
};

std::string data_file_name(int index, const component_type& t) {
    char name[32];
    snprintf(name, sizeof name, "%02d-%s.bin", index, t.tool_name);
    return name;
}

// The package at `path`, or what standard input holds when it is "-" (kept in a
// temporary file, so that it can be walked as any package is).
file_ptr open_package(const char* path) {
    if (std::strcmp(path, "-") != 0)
        return file_ptr(fopen(path, "rb"));
    file_ptr copy(tmpfile());
    std::vector<uint8_t> buf(kChunk);
    size_t n;
    while (copy && (n = fread(buf.data(), 1, buf.size(), stdin)) > 0)
        if (fwrite(buf.data(), 1, n, copy.get()) != n)
            return nullptr;
    if (!copy || ferror(stdin) || fflush(copy.get()) != 0 || fseeko(copy.get(), 0, SEEK_SET) != 0)
        return nullptr;
    return copy;
}

// Walks the package. `sink(index, entry)` sees each component; when `data_dir` is set
// each whole component's data is written there, and its name added to `written`.
// Returns false when the file cannot be read at all or a data file cannot be written.
template <typename Sink>
bool walk(const char* path, const char* data_dir, int only, std::vector<std::string>* written,
          Sink sink) {
    file_ptr f = open_package(path);
    struct stat st;
    if (!f || fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        fprintf(stderr, "bladepkg: cannot read %s: %s\n", path,
                f ? strerror(EISDIR) : strerror(errno));
        return false;
    }
    const uint64_t size = uint64_t(st.st_size);
    uint64_t offset = 0;
    for (int index = 0; offset < size; ++index) {
        entry e{offset, {0, 0, 0, 0}, 0, nullptr};
        uint8_t raw[HEADER_SIZE];
        if (size - offset < HEADER_SIZE || fread(raw, 1, HEADER_SIZE, f.get()) != HEADER_SIZE) {
            e.problem = index == 0 ? kNotAPackage : "truncated header";
            sink(index, e);
            return true;
        }
        e.h = decode_header(raw);
        const component_type* t = component_type_of(e.h.magic);
        if (index == 0 && !t) {
            e.problem = kNotAPackage;
            sink(index, e);
            return true;
        }
        if (e.h.len > MAX_COMPONENT_LEN) {
            e.problem = "length overflow";
            sink(index, e);
            return true;
        }
        if (size - offset - HEADER_SIZE < e.h.len) {
            e.problem = "truncated";
            sink(index, e);
            return true;
        }
        e.computed = gen_crc(raw + 4, HEADER_SIZE - 4, 0xFFFFFFFFu);
        std::unique_ptr<atomic_output> out;
        if (data_dir && t && (only < 0 || only == index)) {
            const std::string name = std::string(data_dir) + "/" + data_file_name(index, *t);
            struct stat exists;
            if (lstat(name.c_str(), &exists) == 0) {
                fprintf(stderr, "bladepkg: %s exists; not overwritten\n", name.c_str());
                return false;
            }
            out = std::make_unique<atomic_output>(name);
            if (!out->f) {
                fprintf(stderr, "bladepkg: cannot create %s: %s\n", out->path.c_str(),
                        strerror(errno));
                return false;
            }
        }
        if (!stream(f.get(), out ? out->f.get() : nullptr, e.h.len, &e.computed)) {
            fprintf(stderr, "bladepkg: reading %s failed\n", path);
            return false;
        }
        if (!t)
            e.problem = "unknown type";
        else if (e.computed != e.h.crc)
            e.problem = "bad CRC";
        if (out && !e.problem) {
            if (!out->commit()) {
                fprintf(stderr, "bladepkg: writing %s failed\n", out->path.c_str());
                return false;
            }
            if (written)
                written->push_back(out->path);
        }
        sink(index, e);
        offset += HEADER_SIZE + uint64_t(e.h.len);
    }
    return true;
}

std::string type_text(uint32_t magic) {
    if (const component_type* t = component_type_of(magic))
        return t->tool_name;
    char s[16];
    snprintf(s, sizeof s, "0x%08x", magic);
    return s;
}

int not_a_package(const char* pkg) {
    fprintf(stderr, "bladepkg: %s: %s\n", pkg, kNotAPackage);
    return 1;
}

int list(const char* pkg, bool json) {
    bool bad = false, foreign = false;
    int count = 0;
    std::string rows;
    if (!walk(pkg, nullptr, -1, nullptr, [&](int, const entry& e) {
            ++count;
            foreign = e.problem == kNotAPackage;
            bad = bad || e.problem;
            char row[256];
            if (json)
                snprintf(row, sizeof row,
                         "%s{\"offset\": %" PRIu64 ", \"type\": \"%s\", \"version\": \"%s\", "
                         "\"length\": %u, \"stored_crc\": %u, \"computed_crc\": %u, "
                         "\"status\": \"%s\"}",
                         rows.empty() ? "" : ",\n ", e.offset, type_text(e.h.magic).c_str(),
                         version_text(e.h.id).c_str(), e.h.len, e.h.crc, e.computed,
                         e.problem ? e.problem : "ok");
            else
                snprintf(row, sizeof row,
                         "%10" PRIu64 "  %-10s  %-15s  %10u  0x%08x  0x%08x  %s%s%s\n", e.offset,
                         type_text(e.h.magic).c_str(), version_text(e.h.id).c_str(), e.h.len,
                         e.h.crc, e.computed, e.problem ? "BAD (" : "ok",
                         e.problem ? e.problem : "", e.problem ? ")" : "");
            rows += row;
        }))
        return 1;
    if (foreign)
        return not_a_package(pkg);
    if (count == 0) {
        fprintf(stderr, "bladepkg: %s: empty package\n", pkg);
        return 1;
    }
    if (json)
        printf("[%s]\n", rows.c_str());
    else
        printf("%10s  %-10s  %-15s  %10s  %-10s  %-10s  %s\n%s", "offset", "type", "version",
               "length", "stored", "computed", "status", rows.c_str());
    return bad ? 1 : 0;
}

// Verifies the package, one line per component and a verdict; with `dir`, extracts
// every good component (or only component `only`) and writes the manifest from which
// create rebuilds the package.
int verify_or_extract(const char* pkg, const char* dir, int only) {
    int count = 0;
    std::string first_problem, manifest;
    const bool made_dir = dir && mkdir(dir, 0755) == 0;
    if (dir && !made_dir && errno != EEXIST) {
        fprintf(stderr, "bladepkg: cannot create %s: %s\n", dir, strerror(errno));
        return 1;
    }
    // A failed extract leaves nothing of its own behind.
    std::vector<std::string> written;
    auto failed = [&] {
        for (const std::string& name : written)
            unlink(name.c_str());
        if (made_dir)
            rmdir(dir);
        return 1;
    };
    bool foreign = false;
    if (!walk(pkg, dir, only, &written, [&](int index, const entry& e) {
            ++count;
            foreign = e.problem == kNotAPackage;
            if (foreign)
                return;
            printf("component %d at offset %" PRIu64 ": %s %s, %u bytes: %s\n", index, e.offset,
                   type_text(e.h.magic).c_str(), version_text(e.h.id).c_str(), e.h.len,
                   e.problem ? e.problem : "ok");
            if (e.problem && first_problem.empty()) {
                char s[128];
                snprintf(s, sizeof s, "component %d at offset %" PRIu64 ": %s", index, e.offset,
                         e.problem);
                first_problem = s;
            }
            if (!e.problem && (only < 0 || only == index))
                manifest += type_text(e.h.magic) + ":" + version_text(e.h.id) + ":" +
                            data_file_name(index, *component_type_of(e.h.magic)) + "\n";
        }))
        return failed();
    if (foreign) {
        failed();
        return not_a_package(pkg);
    }
    if (count == 0)
        first_problem = "empty package";
    if (!first_problem.empty()) {
        printf("%s: BAD\n", pkg);
        fprintf(stderr, "bladepkg: %s: %s\n", pkg, first_problem.c_str());
        return failed();
    }
    if (only >= count) {
        fprintf(stderr, "bladepkg: %s has no component %d (it has %d, from 0)\n", pkg, only, count);
        return failed();
    }
    if (dir) {
        atomic_output out(std::string(dir) + "/manifest");
        if (!out.f || fputs(manifest.c_str(), out.f.get()) < 0 || !out.commit()) {
            fprintf(stderr, "bladepkg: cannot write %s/manifest\n", dir);
            return failed();
        }
    }
    printf("%s: ok, %d component%s\n", pkg, count, count == 1 ? "" : "s");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("bladepkg: no command given\n", stderr);
        return usage();
    }
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        print_usage(stdout);
        return 0;
    }
    if (cmd == "--version") {
        puts("bladepkg " BLADEBOOT_VERSION);
        return 0;
    }
    const command_line* c = nullptr;
    for (const auto& row : kCommands)
        if (cmd == row.name)
            c = &row;
    if (!c)
        return usage("unknown command", cmd);
    // The command's own options first, then its operands; "-" alone is an operand.
    bool json = false;
    long only = -1;
    std::vector<char*> operands;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            printf("usage: bladepkg %s\n%s", c->usage, kTypes);
            return 0;
        }
        if (a.size() < 2 || a[0] != '-' || !operands.empty()) {
            operands.push_back(argv[i]);
        } else if (a == "--json" && std::strcmp(c->options, "--json") == 0) {
            json = true;
        } else if (a == "-c" && std::strcmp(c->options, "-c") == 0) {
            if (i + 1 == argc)
                return missing(*c, "N, the component to extract, after -c");
            char* end = nullptr;
            only = std::strtol(argv[++i], &end, 10);
            if (!*argv[i] || *end || only < 0 || only > 9999)
                return usage("bad component number", argv[i]);
        } else {
            return usage((std::string("unknown option for ") + c->name + ":").c_str(), a);
        }
    }
    if (operands.size() < c->operands.size())
        return missing(*c, c->operands[operands.size()]);
    if (operands.size() > c->operands.size() && !c->more)
        return usage("unexpected argument", operands[c->operands.size()]);
    if (cmd == "create")
        return create(int(operands.size()), operands.data());
    if (cmd == "list")
        return list(operands[0], json);
    if (cmd == "verify")
        return verify_or_extract(operands[0], nullptr, -1);
    return verify_or_extract(operands[0], operands[1], int(only));
}

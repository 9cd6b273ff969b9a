// SPDX-License-Identifier: MIT
// The simulated blade's device library: what its files share. The library is preloaded
// into the launcher; its interposers (interpose.cpp) find the device behind a descriptor
// once and call that device's operation. Every device keeps its state in plain data: the
// sanitizer runtimes of an instrumented launcher call into the interposers before any
// constructor of this library has run.
#pragma once
#include "board_description.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <string>
#include <sys/types.h>
#include <termios.h>

namespace sim {

// libc's own function behind an interposer.
template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(fn) static auto real_##fn = ::sim::real<decltype(&::fn)>(#fn)

// --- configuration, journal and faults (common.cpp) ----------------------------------------
struct sim_config {
    bool loaded;
    char journal[256];
    double scale;
    uint32_t erasesize;
};
const sim_config& cfg();
// The launcher's programs get only the console line's behaviour (the rx stand-in).
void line_only();

std::string json_string(const std::string& s);
// Appends one event; `fields` is the JSON text after the event name.
void journal(const char* event, const std::string& fields);

// True when the fault list names `what` for partition `part`, for this block (or every
// block); true when it holds `name` as an item of its own; the number N of "prefix@N".
bool fault(const char* part, const char* what, long block = -1);
bool fault_named(const char* name);
long fault_number(const char* prefix);

// --- devices behind descriptors (common.cpp) ------------------------------------------------
struct fd_entry;

// A device's operations; a missing one is libc's own.
struct device_ops {
    ssize_t (*read)(fd_entry& e, int fd, void* buf, size_t n);
    ssize_t (*write)(fd_entry& e, int fd, const void* buf, size_t n);
    ssize_t (*pread)(fd_entry& e, int fd, void* buf, size_t n, uint64_t offset);
    ssize_t (*pwrite)(fd_entry& e, int fd, const void* buf, size_t n, uint64_t offset);
    int (*ioctl)(fd_entry& e, int fd, unsigned long request, void* arg);
    void (*close)(fd_entry& e);
};

struct fd_entry {
    const device_ops* ops; // nullptr: a plain file
    char name[64];         // partition name, e.g. "kernel", or the file's path
    int bus;               // I2C bus number
    uint16_t address;      // I2C device selected with I2C_SLAVE
    bool watched;          // a slot file or the application archive: opens and closes journaled
};

extern const device_ops mtd_ops, i2c_ops, cpld_ops, slot_ops;

// A descriptor just opened on `path`: which device it is.
void classify(int fd, const char* path);
// A descriptor being closed.
void forget(int fd);
// The device behind a descriptor, or nullptr for a plain file.
fd_entry* device(int fd);

// --- the flash partitions (mtd.cpp) ------------------------------------------------------
// Off the board (the unit tests), the partitions are the files "mtd-NAME" in the directory
// BLADESIM_MTD_DIR names.
const char* device_path(const char* path, char (&buf)[256]);
void mtd_start(fd_entry& e, const char* path);

// --- the I2C buses and the CPLD (i2c.cpp) ------------------------------------------------
void i2c_start(fd_entry& e, const char* path);

// --- the user filesystem (userfs.cpp) ----------------------------------------------------
bool on_user_fs(const char* path);
// Before an open that creates or truncates a file on /user.
void user_open(const char* path, int flags);
void user_rename(const char* from, const char* to);
void user_unlink(const char* path);
// An fsync of the file or directory at `path`.
void user_fsync(const char* path);
// Every unsynced change undone: /user as a power cut leaves it; the paths put back.
std::string lose_unsynced();

// --- power (power.cpp) ---------------------------------------------------------------------
// Counts one erase or write of the board's storage; at the one cut@N names, the launcher
// loses its power and dies before it happens.
void power_check();
void record_launcher();

// --- the clock (clock.cpp) -----------------------------------------------------------------
// Seconds of the board's own clock: real time plus what the scaled pauses skipped.
double board_time();
double wall_time();
// A pause the launcher asked for: journaled at its length, slept at the board's scale.
int pause_for(double seconds, timespec* rem);

// --- the console's UART (uart.cpp) ---------------------------------------------------------
bool on_uart(int fd);
int uart_tcflush(int fd, int queue);
int uart_tcdrain(int fd);
void uart_tcsetattr(int fd, int when, const termios* t);
void uart_tcgetattr(int fd, termios* t);
// Before a read of the console that waits for the operator.
void uart_reading(int fd);

} // namespace sim

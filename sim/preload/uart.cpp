// SPDX-License-Identifier: MIT
// The console line. It is a pseudo-terminal, and bladesim's relay on its other side stands
// in for the blade's UART: output waits in its queue for the time the line's speed takes,
// a drain waits for that queue, a flush of the output discards what is still in it, and it
// holds the character size, parity and stop bits that a pseudo-terminal cannot. Without a
// relay (no terminal) the calls go to the pseudo-terminal as they are.
#include "sim.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

namespace {

// One request to the line's UART; its one-line answer in ANSWER. False when there is no
// relay to ask.
bool uart_ask(const char* request, char* answer = nullptr, size_t size = 0) {
    REAL(read);
    REAL(write);
    REAL(close);
    const char* path = getenv("BLADESIM_LINE");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!path || strlen(path) >= sizeof addr.sun_path)
        return false;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    std::string line = std::string(request) + "\n";
    char got[64];
    size_t have = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              real_write(fd, line.data(), line.size()) == ssize_t(line.size());
    while (ok && have < sizeof got - 1) {
        ssize_t n = real_read(fd, got + have, sizeof got - 1 - have);
        if (n <= 0)
            break;
        have += size_t(n);
        if (got[have - 1] == '\n')
            break;
    }
    real_close(fd);
    got[have] = '\0';
    got[strcspn(got, "\n")] = '\0';
    if (answer)
        snprintf(answer, size, "%s", got);
    return ok && have > 0 && strcmp(got, "error") != 0;
}

struct line_speed {
    speed_t code;
    long baud;
};
constexpr line_speed kLineSpeeds[] = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                      {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                      {B57600, 57600}, {B115200, 115200}};

long line_baud(speed_t code) {
    for (const auto& s : kLineSpeeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

speed_t line_code(long baud) {
    for (const auto& s : kLineSpeeds)
        if (s.baud == baud)
            return s.code;
    return B0;
}

} // namespace

bool on_uart(int fd) {
    return getenv("BLADESIM_LINE") && isatty(fd);
}

// -1 when the pseudo-terminal itself must do it.
int uart_tcflush(int fd, int queue) {
    if (!on_uart(fd) || queue == TCIFLUSH || !uart_ask("flush"))
        return -1;
    return 0;
}

int uart_tcdrain(int fd) {
    return on_uart(fd) && uart_ask("drain") ? 0 : -1;
}

void uart_tcsetattr(int fd, int when, const termios* t) {
    if (!on_uart(fd) || !t)
        return;
    if (when != TCSANOW)
        uart_ask("drain");
    char request[64];
    tcflag_t size = t->c_cflag & CSIZE;
    snprintf(request, sizeof request, "set %ld %d %s %d", line_baud(cfgetospeed(t)),
             size == CS5   ? 5
             : size == CS6 ? 6
             : size == CS7 ? 7
                           : 8,
             !(t->c_cflag & PARENB)  ? "none"
             : (t->c_cflag & PARODD) ? "odd"
                                     : "even",
             t->c_cflag & CSTOPB ? 2 : 1);
    uart_ask(request);
}

// The launcher is about to wait on the console for the operator: the relay journals it
// with what the line has carried so far, so that whoever types knows their key will be
// read, never discarded as typed ahead. A read that returns at once by its settings (a
// poll within the raw session's tenth of a second) is no wait.
void uart_reading(int fd) {
    REAL(tcgetattr);
    termios t{};
    if (cfg().journal[0] == '\0' || !on_uart(fd) || real_tcgetattr(fd, &t) != 0)
        return;
    if (!(t.c_lflag & ICANON) && (t.c_cc[VMIN] == 0 || t.c_cc[VTIME] != 0))
        return;
    // A non-blocking read is one poll of the console; the relay tells a blocking one from
    // the process's own state, once it waits in the read.
    uart_ask(fcntl(fd, F_GETFL) & O_NONBLOCK ? "read poll" : "read wait");
}

void uart_tcgetattr(int fd, termios* t) {
    char answer[64];
    long baud;
    int bits, stop;
    char parity[8];
    if (!on_uart(fd) || !uart_ask("get", answer, sizeof answer) ||
        sscanf(answer, "%ld %d %7s %d", &baud, &bits, parity, &stop) != 4)
        return;
    // The pseudo-terminal keeps 8 data bits and no parity whatever it is told, and the
    // speed that the UART holds may have been set from its other side.
    if (speed_t code = line_code(baud); code != B0) {
        cfsetispeed(t, code);
        cfsetospeed(t, code);
    }
    t->c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    t->c_cflag |= bits == 5 ? CS5 : bits == 6 ? CS6 : bits == 7 ? CS7 : CS8;
    if (strcmp(parity, "none") != 0)
        t->c_cflag |= strcmp(parity, "odd") == 0 ? PARENB | PARODD : PARENB;
    if (stop == 2)
        t->c_cflag |= CSTOPB;
}

} // namespace sim

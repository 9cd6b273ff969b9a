// SPDX-License-Identifier: MIT
#include "xmodem.h"

#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

termios oldtty;

namespace {

// Polls the port once a second until `enter` arrives, reminding the operator every
// eleventh idle poll. False when the port reports an error other than "no data yet":
// a port that is gone can never deliver the key.
bool wait_for_enter(int fd, unsigned char enter, const char* reminder) {
    int idle = 0;
    for (;;) {
        unsigned char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n == 1 && c == enter)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        sleep(1);
        if (idle == 10) {
            idle = 0;
            printf("%s\n", reminder);
            fflush(stdout);
        } else {
            ++idle;
        }
    }
}

} // namespace

int init_serial() {
    int fd = open(CONSOLE_DEVICE, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("Can't open serial port!");
        return -1;
    }
    puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    puts("       before initiating the download.");
    fflush(stdout);
    tcdrain(fd);
    tcflush(fd, TCIOFLUSH);
    tcgetattr(fd, &oldtty);
    termios tty = oldtty;
    cfsetispeed(&tty, B115200);
    cfsetospeed(&tty, B115200);
    tty.c_cflag &= ~tcflag_t(PARENB | CSTOPB | CSIZE);
    tty.c_cflag |= CS8;
    tty.c_iflag = IGNBRK;
    tty.c_oflag = 0;
    tty.c_lflag &= ~tcflag_t(ICANON | ISIG | ECHO | ECHOE);
    tcsetattr(fd, TCSADRAIN, &tty);
    tcflow(fd, TCOON);
    wait_for_enter(fd, 13,
                   "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                   "start...\r");
    return fd;
}

void reset_serial(int fd) {
    puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    fflush(stdout);
    tcdrain(fd);
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSADRAIN, &oldtty);
    tcflow(fd, TCOON);
    wait_for_enter(fd, 10, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

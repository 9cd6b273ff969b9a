// SPDX-License-Identifier: MIT
// The system board's VPD EEPROM keeper, on the bus and at the address the board's
// description gives (SMBus byte data, as the launcher uses it). "eeprom BUS ADDRESS SIZE
// load FILE" fills it from the board's image; "eeprom BUS ADDRESS SIZE watch" prints
// "eeprom OFFSET VALUE" for every byte that changes, ten times a second, and once more when
// it is told to stop (SIGTERM), so that bladesim keeps what the launcher wrote even if the
// machine is then cut off.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static volatile sig_atomic_t stopping;

static void stop(int sig) {
    (void)sig;
    stopping = 1;
}

static int smbus(int bus, char rw, unsigned char command, union i2c_smbus_data* data) {
    struct i2c_smbus_ioctl_data args = {(unsigned char)rw, command, I2C_SMBUS_BYTE_DATA, data};
    return ioctl(bus, I2C_SMBUS, &args);
}

static int size;

static int read_all(int bus, unsigned char* out) {
    for (int at = 0; at < size; ++at) {
        union i2c_smbus_data d;
        if (smbus(bus, I2C_SMBUS_READ, (unsigned char)at, &d) < 0)
            return -1;
        out[at] = d.byte;
    }
    return 0;
}

static void report(int bus, unsigned char* seen) {
    unsigned char now[256];
    if (read_all(bus, now) < 0)
        return;
    for (int at = 0; at < size; ++at)
        if (now[at] != seen[at])
            printf("eeprom %d %d\n", at, now[at]);
    fflush(stdout);
    memcpy(seen, now, (size_t)size);
}

int main(int argc, char** argv) {
    if (argc < 5 || (size = atoi(argv[3])) <= 0 || size > 256) {
        fprintf(stderr,
                "usage: eeprom BUS ADDRESS SIZE load FILE | eeprom BUS ADDRESS SIZE watch\n");
        return 2;
    }
    int bus = open(argv[1], O_RDWR);
    if (bus < 0 || ioctl(bus, I2C_SLAVE, strtol(argv[2], NULL, 0)) < 0) {
        perror(argv[1]);
        return 1;
    }
    argc -= 3;
    argv += 3;
    unsigned char data[256];
    if (argc == 3 && strcmp(argv[1], "load") == 0) {
        FILE* f = fopen(argv[2], "rb");
        if (!f || fread(data, 1, (size_t)size, f) != (size_t)size) {
            fprintf(stderr, "eeprom: cannot read %d bytes from %s\n", size, argv[2]);
            return 1;
        }
        fclose(f);
        for (int at = 0; at < size; ++at) {
            union i2c_smbus_data d;
            d.byte = data[at];
            if (smbus(bus, I2C_SMBUS_WRITE, (unsigned char)at, &d) < 0) {
                perror("eeprom: write");
                return 1;
            }
        }
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "watch") == 0) {
        signal(SIGTERM, stop);
        if (read_all(bus, data) < 0) {
            perror("eeprom: read");
            return 1;
        }
        while (!stopping) {
            usleep(100000);
            report(bus, data);
        }
        report(bus, data);
        return 0;
    }
    fprintf(stderr, "usage: eeprom BUS ADDRESS SIZE load FILE | eeprom BUS ADDRESS SIZE watch\n");
    return 2;
}

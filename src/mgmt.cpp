// SPDX-License-Identifier: MIT
#include "mgmt.h"

#include "console.h"
#include "launch.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kLineSize = 128;

// Runs one command for the port, formatted with its digit and an optional address.
void port_command(const char* format, char port, const char* address = nullptr) {
    char command[64];
    if (address)
        snprintf(command, sizeof command, format, port, address);
    else
        snprintf(command, sizeof command, format, port);
    api_run_command(command);
}

} // namespace

int verify_ip_address(in_addr_t addr) {
    const unsigned first = ntohl(addr) >> 24;
    return first != 0 && first < 240 ? 1 : 0;
}

int get_ip_addr(const char* prompt, in_addr* out, uint8_t required, uint8_t validate) {
    char answer[kLineSize];
    for (;;) {
        console_ask(prompt);
        get_user_input(answer, sizeof answer);
        // Nobody can answer again once the console has ended: that is a quit.
        if (answer[0] == 'q' || answer[0] == 'Q' || console_input_ended())
            return 0;
        if (answer[0] == 0 && !required)
            return 1;
        in_addr parsed;
        if (!inet_aton(answer, &parsed)) {
            puts("Invalid IP address. Try again please");
            continue;
        }
        if (validate && !verify_ip_address(parsed.s_addr)) {
            printf("Invalid IP address %s. Try again please\n", answer);
            continue;
        }
        *out = parsed;
        return 1;
    }
}

int mgmt_port_params(uint8_t* use_dhcp, in_addr* address, in_addr* netmask, in_addr* gateway,
                     uint8_t offer_dhcp) {
    *use_dhcp = 0;
    struct stat st;
    if (offer_dhcp && stat("/bin/dhclient", &st) == 0) {
        console_ask("Confirm: Use DHCP for network configuration? y/N: ");
        char answer[kLineSize];
        get_user_input(answer, sizeof answer);
        if (sig_quit_raised)
            return 0;
        if (toupper(static_cast<unsigned char>(answer[0])) == 'Y')
            *use_dhcp = 1;
        printf("\n");
    }
    if (*use_dhcp)
        return 1;
    if (!get_ip_addr("IP addr    :", address, 1, 1))
        return 0;
    if (!get_ip_addr("Netmask    :", netmask, 0, 0))
        return 0;
    if (!get_ip_addr("Gateway    :", gateway, 0, 1))
        return 0;
    return 1;
}

int mgmt_port_configure(uint8_t use_dhcp, char port, in_addr address, in_addr netmask,
                        in_addr gateway) {
    if (use_dhcp) {
        port_command("dhclient -1 eth%c", port);
        sleep(3);
        return 1;
    }
    port_command("ifconfig eth%c %s\n", port, inet_ntoa(address));
    if (netmask.s_addr != 0) {
        printf("\tNetmask    : %s\n", inet_ntoa(netmask));
        port_command("ifconfig eth%c down\n", port);
        port_command("ifconfig eth%c netmask %s\n", port, inet_ntoa(netmask));
        port_command("ifconfig eth%c up\n", port);
    }
    sleep(5);
    if (gateway.s_addr != 0) {
        printf("\tGateway    : %s\n", inet_ntoa(gateway));
        char command[64];
        snprintf(command, sizeof command, "route add default gw %s\n", inet_ntoa(gateway));
        api_run_command(command);
    }
    printf("Configuring management port...");
    for (int i = 0; i < 20; ++i) {
        sleep(1);
        putchar('.');
        fflush(stdout);
    }
    printf("\n");
    sleep(1);
    return 1;
}

int mgmt_port_setup(uint8_t offer_dhcp) {
    mgmt_port_settings s{'1', 0, {0}, {0}, {0}};
    if (!mgmt_port_params(&s.use_dhcp, &s.address, &s.netmask, &s.gateway, offer_dhcp))
        return 0;
    return mgmt_port_configure(s.use_dhcp, s.port, s.address, s.netmask, s.gateway);
}

// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>
#include <netinet/in.h>

// How the management port is configured: DHCP, or static addresses (0: not given).
struct mgmt_port_settings {
    char port; // the interface is "eth" followed by this digit
    uint8_t use_dhcp;
    in_addr address;
    in_addr netmask;
    in_addr gateway;
};

// 1 when the dotted address may be used: its first octet is neither 0 nor 240 or more.
int verify_ip_address(in_addr_t addr);
// Asks for an address until one is accepted (1), an optional one is left empty (1, `out`
// untouched) or the operator quits with q (0).
int get_ip_addr(const char* prompt, in_addr* out, uint8_t required, uint8_t validate);

// The port dialog: 1 when the settings are complete, 0 on a quit or an interrupt.
int mgmt_port_params(uint8_t* use_dhcp, in_addr* address, in_addr* netmask, in_addr* gateway,
                     uint8_t offer_dhcp);
// Runs the commands for the settings and waits for the port to settle; 1.
int mgmt_port_configure(uint8_t use_dhcp, char port, in_addr address, in_addr netmask,
                        in_addr gateway);
// Dialog and configuration of eth1 for the boot launcher.
int mgmt_port_setup(uint8_t offer_dhcp);

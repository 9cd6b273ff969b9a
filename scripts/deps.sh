#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages that building, the simulated blade and the tests need.
# Quick when everything is already there.
set -eu
PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev llvm-14 clang-format
libgtest-dev libbenchmark-dev zlib1g-dev linux-libc-dev
g++-powerpc-linux-gnu qemu-user
python3 python3-pexpect python3-pytest python3-pytest-xdist picocom telnet ser2net
bubblewrap busybox util-linux coreutils tar gzip iproute2
lrzsz net-tools isc-dhcp-client dnsmasq-base duma gdbserver gdb
qemu-system-ppc linux-source-6.1 bc flex bison libssl-dev libelf-dev cpio mtd-utils dpkg-dev"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi

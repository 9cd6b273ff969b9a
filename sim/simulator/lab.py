# SPDX-License-Identifier: MIT
"""The lab on the other end of the board's eth1: a router on the board's subnet, dnsmasq
serving DHCP there and TFTP (the board's tftp/) from a server in another subnet behind
the router, so that only a port set up with its netmask and gateway reaches it."""
import hashlib
import os
import signal
import subprocess

from . import guard
from .boardfiles import die
from .description import LAB

LAB_NET = LAB["net"]
LAB_HOST = LAB["router"]
LAB_SERVER = LAB["server"]
LAB_PORT_ADDRESS = LAB["port_address"]
LAB_NETMASK = LAB["netmask"]
LAB_DHCP_RANGE = tuple(LAB["dhcp_range"])


def namespaces(board):
    """The board's and the lab's network namespace names."""
    tag = hashlib.sha1(board.path.encode()).hexdigest()[:8]
    return f"bs{tag}b", f"bs{tag}l"


class Lab:
    """The board's network namespace, whose eth1 is one end of a veth pair, and a lab
    namespace on the other end. A system board's machine runs in the lab namespace with
    its card on a tap device there (`tap`)."""

    def __init__(self, board, faults, tap=False):
        self.board = board
        self.faults = faults
        self.tap = tap
        self.board_ns, self.lab_ns = namespaces(board)
        self.dnsmasq = None

    def run(self, *args, check=True):
        r = subprocess.run(args, capture_output=True, text=True)
        if check and r.returncode != 0:
            die(f"{' '.join(args)}: {r.stderr.strip()}")
        return r

    def start(self):
        self.stop()
        os.makedirs(self.board.p("run"), exist_ok=True)
        os.makedirs(self.board.p("tftp"), exist_ok=True)
        guard.register(self.lab_ns, self.board,
                       [self.lab_ns] if self.tap else [self.board_ns, self.lab_ns])
        self.run("ip", "netns", "add", self.lab_ns)
        if self.tap:
            self.run("ip", "-n", self.lab_ns, "tuntap", "add", "dev", "lab0", "mode", "tap")
        else:
            self.run("ip", "netns", "add", self.board_ns)
            self.run("ip", "link", "add", "eth1", "netns", self.board_ns, "type", "veth",
                     "peer", "name", "lab0", "netns", self.lab_ns)
            self.run("ip", "-n", self.board_ns, "link", "set", "lo", "up")
        self.run("ip", "-n", self.lab_ns, "link", "set", "lo", "up")
        self.run("ip", "-n", self.lab_ns, "addr", "add", f"{LAB_HOST}/24", "dev", "lab0")
        self.run("ip", "-n", self.lab_ns, "addr", "add", f"{LAB_SERVER}/32", "dev", "lo")
        # The router answers ARP only for its own address on the board's side: a board that
        # takes the server's subnet as its own finds nobody there.
        self.run("ip", "netns", "exec", self.lab_ns, "sysctl", "-q", "-w",
                 "net.ipv4.conf.all.arp_ignore=1", "net.ipv4.conf.lab0.arp_ignore=1")
        self.run("ip", "-n", self.lab_ns, "link", "set", "lab0", "up")
        args = ["ip", "netns", "exec", self.lab_ns, "dnsmasq", "--keep-in-foreground",
                "--conf-file=/dev/null", "--port=0", "--interface=lab0", "--interface=lo",
                "--bind-interfaces",
                "--user=root", "--group=root", f"--pid-file={self.board.p('run', 'dnsmasq.pid')}",
                f"--log-facility={self.board.p('run', 'dnsmasq.log')}", "--log-dhcp",
                f"--dhcp-leasefile={self.board.p('run', 'dnsmasq.leases')}"]
        if "dhcp-silent" not in self.faults:
            args += [f"--dhcp-range={LAB_DHCP_RANGE[0]},{LAB_DHCP_RANGE[1]},{LAB_NETMASK},1h",
                     f"--dhcp-option=option:router,{LAB_HOST}"]
        if "tftp-silent" in self.faults:
            # The server's host takes the requests and never answers them.
            self.run("ip", "-n", self.lab_ns, "route", "add", "blackhole", f"{LAB_NET}.0/25")
        else:
            args += ["--enable-tftp", f"--tftp-root={self.board.p('tftp')}"]
        self.dnsmasq = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL,
                                        preexec_fn=guard.dies_with_parent)

    def stop(self):
        if self.dnsmasq:
            self.dnsmasq.terminate()
            self.dnsmasq.wait()
            self.dnsmasq = None
        # dhclient -1 stays in the background with its lease.
        for pidfile in ("dhclient.pid", "dnsmasq.pid"):
            path = self.board.p("run", pidfile)
            try:
                os.kill(int(open(path).read().strip()), signal.SIGTERM)
            except (OSError, ValueError):
                pass
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        for ns in (self.board_ns, self.lab_ns):
            self.run("ip", "netns", "delete", ns, check=False)
        guard.unregister(self.lab_ns)


def board_lease(board):
    """The address the lab's DHCP server last gave the board, or None."""
    try:
        with open(board.p("run", "dnsmasq.leases")) as f:
            leases = [line.split() for line in f if line.strip()]
    except FileNotFoundError:
        return None
    return leases[-1][2] if leases else None

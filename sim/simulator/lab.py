# SPDX-License-Identifier: MIT
"""The lab on the other end of the board's eth1: a router on the board's subnet, dnsmasq
serving DHCP there and TFTP (the board's tftp/) from a server in another subnet behind
the router, so that only a port set up with its netmask and gateway reaches it."""
import os
import select
import subprocess

from . import guard
from .boardfiles import die
from .description import FAULT, LAB

LAB_NET = LAB["net"]
LAB_HOST = LAB["router"]
LAB_SERVER = LAB["server"]
LAB_PORT_ADDRESS = LAB["port_address"]
LAB_NETMASK = LAB["netmask"]
LAB_DHCP_RANGE = tuple(LAB["dhcp_range"])


def lab_namespace(board):
    """The running lab's network namespace, as a path nsenter takes, or None."""
    try:
        return f"/proc/{int(open(board.p('run', 'lab.pid')).read())}/ns/net"
    except (OSError, ValueError):
        return None


def in_namespace(ns, *args):
    return ["nsenter", f"--net={ns}", "--", *args]


class Lab:
    """The board's network namespace, whose eth1 is one end of a veth pair, and a lab
    namespace on the other end. A system board's machine runs in the lab namespace with
    its card on a tap device there (`tap`). Each namespace is held by a process that dies
    with bladesim, so that the kernel removes the namespaces, their links and addresses
    with the last process in them, however the boot ends."""

    def __init__(self, board, faults, tap=False):
        self.board = board
        self.faults = faults
        self.tap = tap
        self.holders = []
        self.board_ns = self.lab_ns = None
        self.dnsmasq = None

    def run(self, *args, check=True):
        r = subprocess.run(args, capture_output=True, text=True)
        if check and r.returncode != 0:
            die(f"{' '.join(args)}: {r.stderr.strip()}")
        return r

    def hold_namespace(self):
        """A new network namespace, held by a process of its own; its path."""
        # The holder says a line once it is in the namespace unshare made.
        holder = subprocess.Popen(["unshare", "--net", "--", "sh", "-c",
                                   "echo; exec sleep infinity"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  preexec_fn=guard.dies_with_parent,
                                  env=dict(os.environ, BLADESIM_BOARD=self.board.path))
        self.holders.append(holder)
        said = holder.stdout.readline() if select.select([holder.stdout], [], [], 10)[0] else b""
        holder.stdout.close()
        if said != b"\n":
            die("cannot make a network namespace for the board's lab (unshare --net)")
        return f"/proc/{holder.pid}/ns/net"

    def lab(self, *args):
        return self.run(*in_namespace(self.lab_ns, *args))

    def start(self):
        os.makedirs(self.board.p("run"), exist_ok=True)
        os.makedirs(self.board.p("tftp"), exist_ok=True)
        self.lab_ns = self.hold_namespace()
        with open(self.board.p("run", "lab.pid"), "w") as f:
            f.write(str(self.holders[0].pid))
        if self.tap:
            self.lab("ip", "tuntap", "add", "dev", "lab0", "mode", "tap")
        else:
            self.board_ns = self.hold_namespace()
            self.run("ip", "link", "add", "eth1", "netns", str(self.holders[1].pid), "type",
                     "veth", "peer", "name", "lab0", "netns", str(self.holders[0].pid))
            self.run(*in_namespace(self.board_ns, "ip", "link", "set", "lo", "up"))
        self.lab("ip", "link", "set", "lo", "up")
        self.lab("ip", "addr", "add", f"{LAB_HOST}/24", "dev", "lab0")
        self.lab("ip", "addr", "add", f"{LAB_SERVER}/32", "dev", "lo")
        # The router answers ARP only for its own address on the board's side: a board that
        # takes the server's subnet as its own finds nobody there.
        self.lab("sysctl", "-q", "-w", "net.ipv4.conf.all.arp_ignore=1",
                 "net.ipv4.conf.lab0.arp_ignore=1")
        self.lab("ip", "link", "set", "lab0", "up")
        args = in_namespace(self.lab_ns, "dnsmasq", "--keep-in-foreground",
                            "--conf-file=/dev/null", "--port=0", "--interface=lab0",
                            "--interface=lo", "--bind-interfaces", "--user=root", "--group=root",
                            f"--pid-file={self.board.p('run', 'dnsmasq.pid')}",
                            f"--log-facility={self.board.p('run', 'dnsmasq.log')}", "--log-dhcp",
                            f"--dhcp-leasefile={self.board.p('run', 'dnsmasq.leases')}")
        if FAULT["dhcp-silent"] not in self.faults:
            args += [f"--dhcp-range={LAB_DHCP_RANGE[0]},{LAB_DHCP_RANGE[1]},{LAB_NETMASK},1h",
                     f"--dhcp-option=option:router,{LAB_HOST}"]
        if FAULT["tftp-silent"] in self.faults:
            # The server's host takes the requests and never answers them.
            self.lab("ip", "route", "add", "blackhole", f"{LAB_NET}.0/25")
        else:
            args += ["--enable-tftp", f"--tftp-root={self.board.p('tftp')}"]
        self.dnsmasq = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL,
                                        preexec_fn=guard.dies_with_parent)

    def stop(self):
        for p in ([self.dnsmasq] if self.dnsmasq else []) + self.holders:
            p.kill()
            p.wait()
        self.dnsmasq, self.holders = None, []
        try:
            os.unlink(self.board.p("run", "lab.pid"))
        except FileNotFoundError:
            pass


def board_lease(board):
    """The address the lab's DHCP server last gave the board, or None."""
    try:
        with open(board.p("run", "dnsmasq.leases")) as f:
            leases = [line.split() for line in f if line.strip()]
    except FileNotFoundError:
        return None
    return leases[-1][2] if leases else None

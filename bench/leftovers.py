#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Boots of both kinds killed with SIGKILL at random moments, then what they left behind:
processes of the board (QEMU, the sandbox, dnsmasq, dhclient), its network namespaces, a
terminal left raw, a journal without its end line, a board that refuses the next boot.
Every count must be 0.

    bench/leftovers.py [--boots N] [--kind preload|system] [--seed S]

The test command runs it with --boots 1.
"""
import argparse
import os
import random
import signal
import sys
import tempfile
import termios
import time

import pexpect

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import BLADESIM, board_processes, sim  # noqa: E402
# How long a boot of each kind runs, about: the kill falls somewhere inside.
SPAN = {"preload": 4.0, "system": 10.0}


def killed_boot(board, after):
    """A boot killed AFTER seconds in; what it left, once its watchdog had its moment."""
    con = pexpect.spawn("/usr/bin/python3", [BLADESIM, "boot", board], timeout=120)
    before = termios.tcgetattr(con.child_fd)
    time.sleep(after)
    left = []
    if con.isalive():
        os.kill(con.pid, signal.SIGKILL)
    elif b"booting already" in con.read():
        left.append("the boot refused: the board still counted as booting")
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        left = [f"process {p}" for p in board_processes(board)]
        if not left:
            break
        time.sleep(0.2)
    try:
        if termios.tcgetattr(con.child_fd)[3] != before[3]:
            left.append("terminal left raw")
    except termios.error:
        pass  # the terminal itself is gone
    con.close(force=True)
    # The board reads back, and its journal says the boot ended.
    shown = sim("show", board, check=False)
    if shown.returncode != 0:
        left.append(f"the board does not read back: {shown.stderr.strip()}")
    with open(os.path.join(board, "journal.jsonl")) as f:
        lines = [line for line in f if line.strip()]
    if lines and '"event": "end"' not in lines[-1]:
        left.append("journal without its end line")
    return left


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--boots", type=int, default=20)
    ap.add_argument("--kind", choices=["preload", "system"], action="append")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    total = 0
    with tempfile.TemporaryDirectory(prefix="leftovers-") as work:
        for kind in args.kind or ["preload", "system"]:
            board = os.path.join(work, kind)
            r = sim("new", board, *(["--system"] if kind == "system" else []), check=False)
            if r.returncode != 0:
                sys.exit(r.stderr)
            sim("env", board, "diagnostics=rescue")  # the boot waits at the menu if not killed
            counts = []
            for _ in range(args.boots):
                left = killed_boot(board, rng.uniform(0, SPAN[kind]))
                counts.append(len(left))
                for what in left:
                    print(f"  {kind}: left behind: {what}")
            total += sum(counts)
            print(f"{kind}: {args.boots} boots killed at random moments, "
                  f"{sum(counts)} things left behind", flush=True)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())

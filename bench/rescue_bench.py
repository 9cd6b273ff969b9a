#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Rescue figures on the simulated blade, for the optimised build (cmake --preset bench).

- A whole TFTP rescue of a 15 MiB package into image slot 1: from the launcher's first
  port command to the rename that puts the new slot image in place, less the pauses
  the launcher asked for (as slept at the simulation's time scale).
- A whole XMODEM-1K rescue of a 1 MiB package: from the operator's Enter at the
  transfer speed to the same rename, less the pauses. The sender on the operator's
  side waits 20 ms after each ACK, as lrzsz's receiver needs on a pseudo-terminal.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import pexpect

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "scenarios"))
import xmodem  # noqa: E402

BUILD = os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "bench"))
BLADESIM = os.path.join(REPO, "sim", "bladesim")
SCALE = 0.001
MIB = 1 << 20
ENV = dict(os.environ, BLADESIM_BUILD=BUILD)


def sim(*args):
    subprocess.run(["/usr/bin/python3", BLADESIM, *args], env=ENV, check=True, capture_output=True)


def package(path, size, work):
    data = os.path.join(work, f"data-{size}")
    with open(data, "wb") as f:
        f.write(os.urandom(size))
    sim("pack", path, f"app:9.1.0.1:{data}")


def boot(board):
    child = pexpect.spawn("/usr/bin/python3", [BLADESIM, "boot", board, "--time-scale", str(SCALE)],
                          env=ENV, encoding="latin-1", timeout=600, echo=False)
    return child


def answer(child, prompt, text):
    child.expect_exact(prompt)
    time.sleep(0.1)
    child.send(text)


def measured(board, start_event):
    events = [json.loads(l) for l in open(os.path.join(board, "journal.jsonl"))]
    start = next(e for e in events if start_event(e))
    end = next(e for e in events if e["event"] == "rename" and e["t"] >= start["t"])
    slept = sum(e["seconds"] for e in events
                if e["event"] == "pause" and start["t"] <= e["t"] <= end["t"]) * SCALE
    return end["t"] - start["t"] - slept


def tftp_rescue(work):
    board = os.path.join(work, "tftp-board")
    sim("new", board)
    sim("env", board, "diagnostics=rescue")
    package(os.path.join(board, "tftp", "big.pkg"), 15 * MIB - 64, work)
    c = boot(board)
    answer(c, "Option? : ", "T")
    answer(c, "IP addr    :", "10.77.1.2\r")
    answer(c, "Netmask    :", "255.255.255.0\r")
    answer(c, "Gateway    :", "\r")
    answer(c, "Server addr:", "10.77.0.1\r")
    answer(c, "Image Filename: ", "big.pkg\r")
    c.expect_exact("hit return to just boot image): ")
    c.send("1\n")
    c.expect_exact("Image1 updated succeeded")
    answer(c, "Option? : ", "R")
    c.expect(pexpect.EOF)
    return measured(board, lambda e: e["event"] == "shell" and e["command"].startswith("ifconfig")), \
        os.path.getsize(os.path.join(board, "tftp", "big.pkg"))


def xmodem_rescue(work):
    board = os.path.join(work, "xmodem-board")
    sim("new", board)
    sim("env", board, "diagnostics=rescue")
    pkg = os.path.join(work, "serial.pkg")
    package(pkg, MIB - 64, work)
    c = boot(board)
    answer(c, "Option? : ", "X")
    c.expect_exact("before initiating the download.")
    time.sleep(0.1)
    start = time.time()
    c.send("\r")
    assert xmodem.send(c.child_fd, open(pkg, "rb").read())
    answer(c, "Change the baud rate back to 9600 bps", "\r")
    c.expect_exact("hit return to just boot image): ")
    c.send("1\n")
    c.expect_exact("Image1 updated succeeded")
    answer(c, "Option? : ", "R")
    c.expect(pexpect.EOF)
    return measured(board, lambda e: e["event"] == "rx"), os.path.getsize(pkg)


def main():
    if not os.path.exists(os.path.join(BUILD, "src", "bladeboot")):
        sys.exit(f"build {BUILD} first: cmake --preset bench && cmake --build --preset bench")
    with tempfile.TemporaryDirectory(prefix="rescuebench-") as work:
        t, size = tftp_rescue(work)
        print(f"TFTP rescue of a {size / MIB:.1f} MiB package, less pauses: {t * 1000:.0f} ms")
        t, size = xmodem_rescue(work)
        print(f"XMODEM-1K rescue of a {size / MIB:.2f} MiB package, less pauses: {t:.1f} s "
              f"({size / 1024 / t:.0f} KiB/s; the sender waits 20 ms after each 1 KiB block)")


if __name__ == "__main__":
    main()

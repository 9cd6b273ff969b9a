#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Rescue figures, for the optimised build (cmake --preset bench).

- A whole TFTP rescue of a 15 MiB package into image slot 1 on the preload board: from
  the launcher's first port command to the rename that puts the new slot image in place,
  less the pauses the launcher asked for (as slept at the simulation's time scale).
- An XMODEM-1K transfer of a 1 MiB package by Debian's stock sx (bladesim send), at the
  line's real pace, on the preload board (its UART model paces both directions at 115200
  baud) and on the system board (QEMU's 16550 under a real kernel).

    bench/rescue_bench.py [--quick]

--quick: a 1 MiB TFTP rescue and a 64 KiB transfer on the preload board at a thousandth of
its time (the test command's check that this runs).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import pexpect

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "bench"))
BLADESIM = os.path.join(REPO, "sim", "bladesim")
MIB = 1 << 20
ENV = dict(os.environ, BLADESIM_BUILD=BUILD)
QUESTION = "hit return to just boot image): "


def sim(*args):
    subprocess.run(["/usr/bin/python3", BLADESIM, *args], env=ENV, check=True, capture_output=True)


def package(path, size, work):
    data = os.path.join(work, f"data-{size}")
    with open(data, "wb") as f:
        f.write(os.urandom(size))
    sim("pack", path, f"app:9.1.0.1:{data}")


def boot(board, scale):
    scaled = ["--time-scale", str(scale)] if scale else []
    return pexpect.spawn("/usr/bin/python3", [BLADESIM, "boot", board, *scaled], env=ENV,
                         encoding="latin-1", timeout=900, echo=False)


def answer(child, prompt, text):
    child.expect_exact(prompt)
    time.sleep(0.1)
    child.send(text)


def measured(board, start_event, scale):
    events = [json.loads(line) for line in open(os.path.join(board, "journal.jsonl"))]
    start = next(e for e in events if start_event(e))
    end = next(e for e in events if e["event"] == "rename" and e["t"] >= start["t"])
    slept = sum(e["seconds"] for e in events
                if e["event"] == "pause" and start["t"] <= e["t"] <= end["t"]) * scale
    return end["t"] - start["t"] - slept


def tftp_rescue(work, size, scale):
    board = os.path.join(work, "tftp-board")
    sim("new", board)
    sim("env", board, "diagnostics=rescue")
    package(os.path.join(board, "tftp", "big.pkg"), size - 64, work)
    c = boot(board, scale)
    answer(c, "Option? : ", "T")
    answer(c, "IP addr    :", "10.77.1.2\r")
    answer(c, "Netmask    :", "255.255.255.0\r")
    answer(c, "Gateway    :", "10.77.1.1\r")
    answer(c, "Server addr:", "10.77.0.1\r")
    answer(c, "Image Filename: ", "big.pkg\r")
    answer(c, QUESTION, "1\n")
    c.expect_exact("Image1 updated succeeded")
    answer(c, "Option? : ", "R")
    c.expect(pexpect.EOF)
    return measured(board, lambda e: e["event"] == "shell" and e["command"].startswith("ifconfig"),
                    scale), os.path.getsize(os.path.join(board, "tftp", "big.pkg"))


def xmodem_transfer(work, size, scale, kind):
    """Seconds stock sx takes to send a package of SIZE into a board of KIND."""
    board = os.path.join(work, f"xmodem-{kind}")
    sim("new", board, *(["--system"] if kind == "system" else []))
    sim("env", board, "diagnostics=rescue")
    pkg = os.path.join(work, "serial.pkg")
    package(pkg, size - 64, work)
    c = boot(board, scale if kind == "preload" else None)
    answer(c, "Option? : ", "X")
    c.expect_exact("before initiating the download.")
    time.sleep(1)
    c.send("\r")
    start = time.monotonic()
    sim("send", board, pkg)
    took = time.monotonic() - start
    time.sleep(2)
    c.send("\r")
    answer(c, QUESTION, "1\n")
    c.expect_exact("Image1 updated succeeded")
    answer(c, "Option? : ", "R")
    c.expect(pexpect.EOF)
    return took, os.path.getsize(pkg)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes, scaled time")
    args = ap.parse_args()
    if not os.path.exists(os.path.join(BUILD, "src", "bladeboot")):
        sys.exit(f"build {BUILD} first: cmake --preset bench && cmake --build --preset bench")
    with tempfile.TemporaryDirectory(prefix="rescuebench-") as work:
        t, size = tftp_rescue(work, MIB if args.quick else 15 * MIB, 0.001)
        print(f"TFTP rescue of a {size / MIB:.1f} MiB package, less pauses: {t * 1000:.0f} ms")
        runs = [("preload", 0.001)] if args.quick else [("preload", 1), ("system", None)]
        for kind, scale in runs:
            t, size = xmodem_transfer(work, 64 * 1024 if args.quick else MIB, scale, kind)
            pace = "at a thousandth of its time" if scale == 0.001 else "at its real pace"
            print(f"XMODEM-1K by sx of a {size / MIB:.2f} MiB package, {kind} board {pace}: "
                  f"{t:.1f} s ({size / 1024 / t:.1f} KiB/s)")


if __name__ == "__main__":
    main()

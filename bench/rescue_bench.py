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
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import Board, sim  # noqa: E402
from boot_bench import big_archive  # noqa: E402

BUILD = os.environ.setdefault("BLADESIM_BUILD", os.path.join(REPO, "build", "bench"))
MIB = 1 << 20
QUESTION = "hit return to just boot image): "


def package(path, size, work):
    """A package of about SIZE bytes whose application can start: the demo program and
    incompressible padding."""
    archive = os.path.join(work, f"app-{size}.tar.gz")
    big_archive(archive, max(0, size - 48 * 1024))
    sim("pack", path, f"app:9.1.0.1:{archive}")


def measured(board, start_event, scale):
    events = [json.loads(line) for line in open(os.path.join(board, "journal.jsonl"))]
    start = next(e for e in events if start_event(e))
    end = next(e for e in events if e["event"] == "rename" and e["t"] >= start["t"])
    slept = sum(e["seconds"] for e in events
                if e["event"] == "pause" and start["t"] <= e["t"] <= end["t"]) * scale
    return end["t"] - start["t"] - slept


def tftp_rescue(work, size, scale):
    board = Board(os.path.join(work, "tftp-board"), "host")
    sim("new", board.path)
    board.env("diagnostics=rescue")
    package(board.p("tftp", "big.pkg"), size - 64, work)
    c = board.boot(time_scale=scale, timeout=900)
    c.tftp_rescue("10.77.1.2", "255.255.255.0", "10.77.1.1", "10.77.0.1", "big.pkg")
    c.answer(QUESTION, "1\n")
    c.expect("Image1 updated succeeded")
    c.menu("R")
    c.finish()
    return measured(board.path, lambda e: e["event"] == "shell" and
                    e["command"].startswith("ifconfig"), scale), \
        os.path.getsize(board.p("tftp", "big.pkg"))


def xmodem_transfer(work, size, scale, kind):
    """Seconds stock sx takes to send a package of SIZE into a board of KIND."""
    board = Board(os.path.join(work, f"xmodem-{kind}"), "host" if kind == "preload" else kind)
    sim("new", board.path, *(["--system"] if kind == "system" else []))
    board.env("diagnostics=rescue")
    pkg = os.path.join(work, "serial.pkg")
    package(pkg, size - 64, work)
    c = board.boot(time_scale=scale if kind == "preload" else None, timeout=900)
    c.menu("X")
    c.expect("before initiating the download.")
    board.switched(115200)
    c.send("\r")
    start = time.monotonic()
    sim("send", board.path, pkg)
    took = time.monotonic() - start
    board.switched(9600)
    c.send("\r")
    c.answer(QUESTION, "1\n")
    c.expect("Image1 updated succeeded")
    c.menu("R")
    c.finish()
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

#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Power cuts on the system board's real kernel, MTD and JFFS2 drivers.

Two operations, each first run whole to count its flash events (QEMU's pflash erases and
programs after the launcher started). Each ends with the slot file's write: its data, the
rename that puts it in place and what JFFS2 writes after it, the operation's last flash
events (nothing after them writes the flash); the last 300 are the rename window:

- install: a kernel and an application received by XMODEM-1K (stock sx) from the rescue
  menu, the application into image slot 1;
- recovery: both slots empty, the rescue partition's application copied into slot 1.

Then the power is cut (cut@N) at each point in turn: at least 30 spread over the whole
operation, and every event of the rename window. After each cut the board starts again:
it must launch an application (an intact image on the blade always starts, never a reset
loop), and the board's files must read back (bladesim show). One line per point: where it
was cut, whether the next start launched an application, what was damaged.

    bench/system_power_cuts.py [--sample N] [--operation install|recovery]

--sample N cuts at N points of each operation only (one in the rename window first): the
test command runs it so. The whole sweep takes hours (see docs/testing.md).
"""
import argparse
import json
import os
import shutil
import sys
import tempfile

import pexpect

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import Board, sim  # noqa: E402
SWITCH = "Change the baud rate to 115200 bps and hit the <ENTER> key"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
RECOVERY_QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
APPLICATION = "bladesim: application ended (status 0)"
CUT = "bladesim: power cut"
SPREAD = 30
# The slot file's rename and the JFFS2 writes after it, with the end of its data: the
# operation's last flash events. (The console's text cannot mark them: the guest writes the
# whole slot in a tenth of a second, faster than the line carries a message.)
WINDOW = 300


def events_so_far(board):
    try:
        with open(os.path.join(board, "run", "flash-events")) as f:
            return int(f.read())
    except (OSError, ValueError):
        return 0


class Boot:
    """One boot of the board on a pseudo-terminal; `until` waits for a text or the end."""

    def __init__(self, board, *extra):
        self.board, self.seen, self.ended = Board(board, "system"), "", False
        self.con = self.board.boot(*extra, time_scale=None, timeout=600).child

    def until(self, text):
        """True when TEXT came, False when the boot ended (a power cut) first."""
        if self.ended:
            return False
        found = self.con.expect_exact([text, pexpect.EOF]) == 0
        self.seen += self.con.before + (text if found else "")
        self.ended = not found
        return found

    def answer(self, text, keys):
        if not self.until(text):
            return False
        self.board.reading(text)
        self.con.send(keys)
        return True

    def ending(self):
        if not self.ended:
            self.con.expect(pexpect.EOF)
            self.seen += self.con.before
        self.con.close()
        text = self.seen.replace("\r", "")
        return text[text.rfind("bladesim: "):].split("\n")[0]


def install(board, package, cut=None):
    """The install, cut at CUT (or whole): how the boot ended, and whether the slot was
    put in place."""
    sim("env", board, "diagnostics=rescue")
    boot = Boot(board, *(["--fault", f"cut@{cut}"] if cut else []))
    finished = False
    if boot.answer("Option? : ", "X") and boot.until(SWITCH):
        boot.board.switched(115200)
        boot.con.send("\r")
        sim("send", board, package, check=False)
        boot.board.switched(9600)
        boot.con.send("\r")
        finished = boot.answer(SLOT_QUESTION, "1\r") and boot.until("Image1 updated succeeded")
        if finished:
            boot.answer("Option? : ", "E")
    ending = boot.ending()
    sim("env", board, "diagnostics=")
    return ending, finished


def recovery(board, package, cut=None):
    """The recovery copy, cut at CUT (or whole): how the boot ended, and whether the slot
    was put in place."""
    boot = Boot(board, *(["--fault", f"cut@{cut}"] if cut else []))
    finished = boot.answer(RECOVERY_QUESTION, "1\r") and boot.until("Setting boot image to 1")
    return boot.ending(), finished


def start_again(board):
    """The next start: a rescue partition's application, when that is what starts, is
    booted without being installed."""
    boot = Boot(board)
    boot.answer(RECOVERY_QUESTION, "\r")
    return boot.ending()


def prepare(template, work, operation):
    board = os.path.join(work, "board")
    shutil.rmtree(board, ignore_errors=True)
    shutil.copytree(template, board, symlinks=True)
    if operation == "recovery":
        sim("slot", board, "1", "-")
        sim("slot", board, "2", "-")
        sim("rescue", board, os.path.join(work, "recovery.pkg"))
    return board


def damage(board):
    """What the board's files show as damaged, or a failure when they cannot be read."""
    r = sim("show", board, "--json", check=False)
    if r.returncode != 0:
        return None, f"files do not read back: {r.stderr.strip()}"
    shown = json.loads(r.stdout)
    damaged = [f"{name} {p['check']}" for name, p in shown["partitions"].items()
               if p["check"] not in ("good", "no CRC kept")]
    torn = [f"image{n} {s['check']}" for n, s in shown["slots"].items()
            if s["check"] not in ("good", "no slot file")]
    return damaged, "; ".join(torn)


def points(total, window, sample):
    """At least SPREAD points over the operation and every event of the window; with SAMPLE,
    that many of them, the window's middle first."""
    spread = sorted({1 + i * (total - 1) // (SPREAD - 1) for i in range(SPREAD)})
    every = list(range(max(1, window[0]), min(total, window[1]) + 1))
    if sample:
        middle = every[len(every) // 2] if every else spread[len(spread) // 2]
        return [middle] + [p for p in spread[1::max(1, len(spread) // sample)]][:sample - 1]
    return sorted(set(spread) | set(every))


def sweep(operation, template, work, sample):
    run = install if operation == "install" else recovery
    package = os.path.join(work, f"{operation}.pkg")
    board = prepare(template, work, operation)
    ending, finished = run(board, package)
    total = events_so_far(board)
    if ending != APPLICATION or not finished:
        raise SystemExit(f"{operation}: the whole operation did not complete ({ending})")
    window = (max(1, total - WINDOW), total)
    cuts = points(total, window, sample)
    print(f"{operation}: {total} flash events, rename window {window[0]}..{window[1]}; "
          f"{len(cuts)} points", flush=True)
    failures = 0
    for n in cuts:
        board = prepare(template, work, operation)
        first, _ = run(board, package, cut=n)
        damaged, torn = damage(board)
        second = start_again(board) if damaged is not None else "not started"
        booted = second == APPLICATION
        ok = booted and not torn and damaged is not None
        failures += not ok
        said = ", ".join(damaged or []) or "nothing"
        print(f"  cut@{n:<7} {'cut' if first == CUT else 'whole':5} "
              f"{'booted' if booted else 'NOT BOOTED: ' + second}; damaged: {said}"
              f"{'; TORN: ' + torn if torn else ''}", flush=True)
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sample", type=int, default=0, help="cut at this many points of each")
    ap.add_argument("--operation", choices=["install", "recovery"], action="append")
    args = ap.parse_args()
    operations = args.operation or ["install", "recovery"]
    with tempfile.TemporaryDirectory(prefix="system-cuts-") as work:
        template = os.path.join(work, "template")
        sim("new", template, "--system")
        kernel = os.path.join(work, "kernel.data")
        with open(kernel, "wb") as f:
            f.write(os.urandom(64 * 1024))
        sim("pack", os.path.join(work, "install.pkg"), "--ppc", f"kernel:2.6.60.1:{kernel}",
            "app:9.6.0.1")
        sim("pack", os.path.join(work, "recovery.pkg"), "--ppc", "app:9.6.0.2")
        failures = sum(sweep(op, template, work, args.sample) for op in operations)
    print(f"{'all points booted' if not failures else f'{failures} points failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

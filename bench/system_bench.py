#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""System board figures: the PowerPC launcher on Linux under qemu-system-ppc.

- building the kernel, BusyBox and the root filesystem from nothing (with --fresh, into an
  empty cache: about 5 minutes on 2 cores), and a start with everything cached;
- a boot by phase in the guest's own time: kernel start, init, launcher start, /user
  mounted, slot chosen (the slot file opened), archive written, exec of the application;
- the launcher's own work on the slot (slot opened to archive written: walk, CRC, copy;
  archive written to exec: unpacking, less the pauses it is asked to take) against the
  floor the same guest measures for the same slot, cache-cold: cat of the slot file, and
  gunzip | tar x of its archive; at 30 KiB (the default board) and with an 8 MiB file.

    bench/system_bench.py [--fresh] [--runs N] [--quick]

--quick: one boot of the default slot only (the test command's check that this runs).
"""
import argparse
import io
import json
import os
import subprocess
import sys
import tarfile
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import BLADESIM, sim  # noqa: E402

# The pauses the launcher takes between the archive and the exec: a second before it
# unpacks, and a tenth of a second on each side of the booted-slot record's write.
PAUSES = 1.2
PHASES = ["init", "launcher", "mounted", "slot", "archive", "exec"]


def measured_boot(board):
    """The phases (guest seconds) and the floor of one boot of BOARD."""
    subprocess.run(["/usr/bin/python3", BLADESIM, "boot", board, "--floor"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=False)
    with open(os.path.join(board, "journal.jsonl")) as f:
        events = [json.loads(line) for line in f if line.strip()]
    last = max(i for i, e in enumerate(events) if e["event"] == "boot")
    phases = {e["name"]: e["uptime"] for e in events[last:] if e["event"] == "phase"}
    floor = {e["step"]: e["seconds"] for e in events[last:] if e["event"] == "floor"}
    missing = [p for p in PHASES if p not in phases] + [f for f in ("cat", "untar")
                                                        if f not in floor]
    if missing:
        raise SystemExit(f"the boot of {board} did not report {', '.join(missing)}")
    return phases, floor


def big_slot(work):
    """A package whose application archive carries an 8 MiB file beside the demo program."""
    demo = os.path.join(REPO, "build", "ppc", "sim", "demoapp")
    archive = os.path.join(work, "big.tar.gz")
    with tarfile.open(archive, "w:gz", compresslevel=1) as tar:
        for name, data, mode in (("home/bin/mp.elf.strip", open(demo, "rb").read(), 0o755),
                                 ("home/etc/release", b"demo application 8.8.8.8\n", 0o644),
                                 ("home/data.bin", os.urandom(8 << 20), 0o644)):
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    pkg = os.path.join(work, "big.pkg")
    sim("pack", pkg, "--ppc", f"app:8.8.8.8:{archive}")
    return pkg


def median(values):
    return sorted(values)[len(values) // 2]


def report(name, runs):
    phases = {p: median([r[0][p] for r in runs]) for p in PHASES}
    steps = " ".join(f"{p} {phases[p]:.2f}" for p in PHASES)
    own = median([(r[0]["archive"] - r[0]["slot"]) + (r[0]["exec"] - r[0]["archive"] - PAUSES)
                  for r in runs])
    floor = median([r[1]["cat"] + r[1]["untar"] for r in runs])
    print(f"{name}: phases (s since the kernel started) {steps}")
    print(f"{name}: the launcher's own work {own:.3f} s against the floor {floor:.3f} s "
          f"(cat {median([r[1]['cat'] for r in runs]):.3f} + gunzip | tar "
          f"{median([r[1]['untar'] for r in runs]):.3f}): {own / floor:.2f}x")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--fresh", action="store_true", help="time a build into an empty cache")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="one boot of the default slot")
    args = ap.parse_args()
    if args.fresh:
        with tempfile.TemporaryDirectory() as cache:
            t = time.monotonic()
            sim("build", env=dict(os.environ, BLADESIM_CACHE=cache))
            print(f"first build (kernel, BusyBox, root filesystem): {time.monotonic() - t:.0f} s")
    t = time.monotonic()
    sim("build")
    print(f"cached start of the build step: {time.monotonic() - t:.2f} s")
    runs = 1 if args.quick else args.runs
    with tempfile.TemporaryDirectory() as work:
        board = os.path.join(work, "board")
        sim("new", board, "--system")
        report("30 KiB slot", [measured_boot(board) for _ in range(runs)])
        if not args.quick:
            sim("slot", board, "1", big_slot(work))
            report("8 MiB slot", [measured_boot(board) for _ in range(runs)])


if __name__ == "__main__":
    main()

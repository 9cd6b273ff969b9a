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
  gunzip | tar x of its archive; at 30 KiB (the default board) and with an 8 MiB file;
- the installer at the flash's own speed: a TFTP rescue of a package with a 15 MiB root
  filesystem and a 3 MiB kernel; each component's write (read-back included) against
  BusyBox flashcp of the same bytes (erase, write, verify) in the same guest, and the
  rescue from the file name typed to the slot written against BusyBox tftp of the same
  package followed by flashcp of both components.

    bench/system_bench.py [--fresh] [--runs N] [--quick]

--quick: one boot of the default slot, and the install with a 1 MiB root filesystem and a
256 KiB kernel (the test command's check that this runs).
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
from simulator.description import ERASE_SIZE  # noqa: E402
from simulator.harness import BLADESIM, Board, sim  # noqa: E402

# The pauses the launcher takes between the archive and the exec: a second before it
# unpacks, and a tenth of a second on each side of the booted-slot record's write.
PAUSES = 1.2
PHASES = ["init", "launcher", "mounted", "slot", "archive", "exec"]


def measured_boot(board):
    """The phases (guest seconds) and the floor of one boot of BOARD."""
    subprocess.run(["/usr/bin/python3", BLADESIM, "boot", board, "--after",
                    os.path.join(REPO, "bench", "guest", "floor.sh")],
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


# Run by the guest once the launcher has ended: the floors of the install, in the guest's
# own time. The package comes again by BusyBox tftp; each flash component that the installer
# wrote is read back from its partition, header and data, and copied again by BusyBox
# flashcp onto the erased partition.
FLOOR_SCRIPT = """\
. /etc/board/board.sh
phases time tftp "tftp -g -r {package} -l /tmp/floor.pkg {server}"
rm -f /tmp/floor.pkg
for part in rfs:{rfs} kernel:{kernel}; do
    dev=$BOARD_DEVICE_PREFIX${{part%:*}}
    head -c "${{part#*:}}" "$dev" > /tmp/floor.bin
    # flashcp leaves alone what the flash already holds: the partition goes back to
    # erased first, so that it erases, writes and verifies every block, as an upgrade does.
    flash_eraseall -q "$dev"
    phases time "flashcp-${{part%:*}}" "flashcp /tmp/floor.bin $dev"
    # The same bytes onto the erased partition by dd, in the 1024-byte writes the installer
    # makes and in whole erase blocks as flashcp does: what the piece size costs alone.
    for bs in 1024 $BOARD_ERASE_SIZE; do
        flash_eraseall -q "$dev"
        phases time "dd$bs-${{part%:*}}" "dd if=/tmp/floor.bin of=$dev bs=$bs 2>/dev/null"
    done
    rm /tmp/floor.bin
done
"""
LAB = ("10.77.1.2", "255.255.255.0", "10.77.1.1", "10.77.0.1")


def install(work, rfs_size, kernel_size):
    """One TFTP rescue of a root filesystem, a kernel and an application on a system board:
    {what: seconds} for the installer's writes, read from the console as it goes, and the
    floors the guest took afterwards."""
    board = Board(os.path.join(work, f"install-{rfs_size}"), "system")
    sim("new", board.path, "--system")
    board.env("diagnostics=rescue")
    parts = {}
    for name, size in (("rfs", rfs_size), ("kernel", kernel_size)):
        parts[name] = os.path.join(work, f"{name}.bin")
        with open(parts[name], "wb") as f:
            f.write(os.urandom(size))
    sim("pack", board.p("tftp", "big.pkg"), "--ppc", f"rfs:3.1.9.1:{parts['rfs']}",
        f"kernel:2.6.39.1:{parts['kernel']}", "app:9.1.0.1")
    after = os.path.join(work, "floor.sh")
    with open(after, "w") as f:
        f.write(FLOOR_SCRIPT.format(package="big.pkg", server=LAB[3], rfs=rfs_size + 16,
                                    kernel=kernel_size + 16))
    con = board.boot("--after", after, time_scale="0.001", timeout=1800)
    con.tftp_rescue(*LAB, "big.pkg")
    marks = {"typed": time.monotonic()}
    for label, name in (("Installing Root Filesystem: ", "rfs"), ("Installing Kernel: ", "kernel")):
        con.expect(label)
        marks[name] = time.monotonic()
        con.expect("000%")  # the first erase block written and read back
        marks[name + "-1"] = time.monotonic()
    con.expect("Installing Application: ")
    marks["app"] = time.monotonic()
    con.answer("hit return to just boot image): ", "1\r")
    con.expect("Image1 updated succeeded")
    marks["end"] = time.monotonic()
    con.menu("E")
    con.finish()
    floors = {e["step"]: e["seconds"] for e in board.journal() if e["event"] == "floor"}
    missing = [s for s in ("tftp", "flashcp-rfs", "flashcp-kernel", "dd1024-rfs")
               if s not in floors]
    if missing:
        raise SystemExit(f"the guest did not time {', '.join(missing)}")
    out = dict(floors, typed_to_end=marks["end"] - marks["typed"])
    for name, size, after_it in (("rfs", rfs_size, "kernel"), ("kernel", kernel_size, "app")):
        blocks = -(-(size + 16) // ERASE_SIZE)
        # From the first block's mark to the next label: the other blocks; the first one
        # counted as their average.
        out[name] = (marks[after_it] - marks[name + "-1"]) * blocks / max(1, blocks - 1)
    return out


def report_install(sizes, runs):
    m = {k: median([r[k] for r in runs]) for k in runs[0]}
    block = ERASE_SIZE
    for name, size in zip(("rfs", "kernel"), sizes):
        print(f"install {name} ({size >> 10} KiB): the installer's write {m[name]:.2f} s against "
              f"flashcp {m['flashcp-' + name]:.2f} s: {m[name] / m['flashcp-' + name]:.2f}x; "
              f"dd of the same bytes onto the erased partition in 1024-byte writes "
              f"{m[f'dd1024-{name}']:.2f} s, in {block}-byte ones {m[f'dd{block}-{name}']:.2f} s")
    floor = m["tftp"] + m["flashcp-rfs"] + m["flashcp-kernel"]
    print(f"TFTP rescue ({(sizes[0] + sizes[1]) >> 10} KiB of flash components): typed to slot "
          f"written {m['typed_to_end']:.2f} s against tftp {m['tftp']:.2f} s + flashcp "
          f"{m['flashcp-rfs'] + m['flashcp-kernel']:.2f} s: {m['typed_to_end'] / floor:.2f}x")


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
        # The root filesystem's partition takes its component's header too.
        sizes = (1 << 20, 256 << 10) if args.quick else ((15 << 20) - 16, (3 << 20) - 16)
        report_install(sizes, [install(work, *sizes) for _ in range(runs)])


if __name__ == "__main__":
    main()

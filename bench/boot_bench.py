#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Boot and install figures on the simulated blade, for the optimised build
(cmake --preset bench && cmake --build --preset bench).

For slots holding a 4 MiB and a 15 MiB application component (what the 16 MiB user
filesystem can hold):
- the launcher's time from opening the slot file to closing the application archive
  (walk, CRC, archive write), against a plain `cp` of the component within the board's
  /tmp in the same run;
- the launcher's peak resident memory (VmHWM at its exec of /bin/backtrace).
For the installer, with a package of a 15 MiB root filesystem and a 12 MiB application
component installed into slot 1 from the rescue menu: the install's time (from "Extracting
images" to the slot's success, the flash's pace as the device library gives it), the share
of it the application's archive check takes (timed alone over the same archive,
bench/archive_bench), and the launcher's peak resident memory (VmHWM when the menu's
Reboot runs "reboot").
Then crc_bench: gen_crc against zlib's crc32 on 64 MiB, the two taken in turn.

    bench/boot_bench.py [--quick]

--quick: 1 MiB everywhere, one run each (the test command's check that this runs).
"""
import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import BLADESIM, Board, sim  # noqa: E402

BUILD = os.environ.setdefault("BLADESIM_BUILD", os.path.join(REPO, "build", "bench"))
SCALE = 0.001
MIB = 1 << 20
RUNS = int(os.environ.get("RUNS", "3"))
SIZES = {"slots": (4 * MIB, 15 * MIB), "rfs": 15 * MIB, "app": 12 * MIB}
ARCHIVE = "/tmp/vemiximage.tar.gz"


def events(board):
    with open(os.path.join(board, "journal.jsonl")) as f:
        return [json.loads(line) for line in f]


def big_archive(path, size):
    with open(os.path.join(BUILD, "sim", "demoapp"), "rb") as f:
        app = f.read()
    members = {"home/bin/mp.elf.strip": (app, 0o755), "home/pad.bin": (os.urandom(size), 0o644)}
    with tarfile.open(path, "w:gz", compresslevel=1) as tar:
        for name, (data, mode) in members.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))


def bladepkg(*args):
    subprocess.run([os.path.join(BUILD, "tools", "bladepkg"), *args], check=True)


def slot_boot(work, size):
    board = os.path.join(work, f"board-{size // MIB}")
    sim("new", board)
    archive = os.path.join(work, f"app-{size // MIB}.tar.gz")
    big_archive(archive, size - 64 * 1024)
    pkg = os.path.join(work, f"app-{size // MIB}.pkg")
    bladepkg("create", pkg, f"app:9.0.0.{size // MIB}:{archive}")
    os.unlink(archive)
    sim("slot", board, "1", pkg)

    spans, rss = [], []
    for _ in range(RUNS):
        open(os.path.join(board, "journal.jsonl"), "w").close()
        subprocess.run(["/usr/bin/python3", BLADESIM, "boot", board, "--time-scale", str(SCALE)],
                       capture_output=True, check=False)
        ev = events(board)
        opened = next(e for e in ev if e["event"] == "open" and e["file"] == "/user/images/image1")
        closed = next(e for e in ev if e["event"] == "close" and e["file"] == ARCHIVE)
        spans.append(closed["t"] - opened["t"])
        rss.append(next(e for e in ev if e["event"] == "exec")["peak_rss_kb"])

    copies = []
    src = os.path.join(board, "tmp", "component")
    subprocess.run(["cp", pkg, src], check=True)
    for _ in range(RUNS):
        t = time.time()
        subprocess.run(["cp", src, src + ".copy"], check=True)
        copies.append(time.time() - t)
        os.unlink(src + ".copy")
    subprocess.run(["rm", "-rf", board, pkg])
    return statistics.median(spans), statistics.median(copies), max(rss)


def install(work):
    board = os.path.join(work, "install-board")
    sim("new", board)
    sim("env", board, "diagnostics=rescue")
    rfs = os.path.join(work, "rfs.bin")
    with open(rfs, "wb") as f:
        f.write(os.urandom(SIZES["rfs"] - 16))
    archive = os.path.join(work, "app.tar.gz")
    big_archive(archive, SIZES["app"] - 64 * 1024)
    pkg = os.path.join(work, "install.pkg")
    bladepkg("create", pkg, f"rfs:3.9.0.1:{rfs}", f"app:9.1.0.12:{archive}")
    # The board has no tftp program, so the download finds the package already in place.
    con = Board(board, "host").boot("--fault", "notftp", time_scale=SCALE, image=pkg,
                                    timeout=600)
    con.tftp_rescue("10.77.1.2", "", "", "10.77.0.1", "pkg")
    con.expect("Extracting images")
    start = time.monotonic()
    con.answer("hit return to just boot image): ", "1\n")
    con.expect("Image1 updated succeeded")
    took = time.monotonic() - start
    con.menu("R")
    con.finish()
    reboot = next(e for e in events(board) if e["event"] == "shell" and e["command"] == "reboot")
    # The installer's archive check alone, over the same archive.
    verdict, check = subprocess.run([os.path.join(BUILD, "bench", "archive_bench"), archive,
                                     "home/bin/mp.elf.strip"], check=True, capture_output=True,
                                    text=True).stdout.split()
    assert verdict == "holds", verdict
    subprocess.run(["rm", "-rf", board])
    return reboot["peak_rss_kb"], took, float(check)


def crc_ratio(quick):
    out = subprocess.run([os.path.join(BUILD, "bench", "crc_bench"), "--benchmark_format=json",
                          "--benchmark_filter=against"] +
                         (["--benchmark_min_time=0.01"] if quick else []),
                         check=True, capture_output=True, text=True).stdout
    run = json.loads(out)["benchmarks"][0]
    return run["gen_crc_GBps"], run["zlib_GBps"]


def main():
    global RUNS
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="1 MiB everywhere, one run")
    args = ap.parse_args()
    if args.quick:
        RUNS = 1
        SIZES.update(slots=(MIB,), rfs=MIB, app=MIB)
    for tool in ("src/bladeboot", "sim/libbladesim.so", "tools/bladepkg", "sim/demoapp",
                 "bench/crc_bench"):
        if not os.path.exists(os.path.join(BUILD, tool)):
            sys.exit(f"build {BUILD} first: cmake --preset bench && cmake --build --preset bench")
    with tempfile.TemporaryDirectory(prefix="bootbench-") as work:
        print(f"medians of {RUNS} boots")
        for size in SIZES["slots"]:
            span, copy, rss = slot_boot(work, size)
            print(f"{size // MIB} MiB slot: slot open to archive closed {span * 1000:.0f} ms, "
                  f"cp of the component {copy * 1000:.0f} ms ({span / copy:.1f}x); "
                  f"launcher peak resident memory {rss / 1024:.1f} MiB")
        rss, took, check = install(work)
        print(f"installer, {SIZES['rfs'] // MIB} MiB RFS + {SIZES['app'] // MIB} MiB application "
              f"into slot 1: {took:.2f} s, of which the application's archive check "
              f"{check * 1000:.0f} ms ({100 * check / took:.1f}%); "
              f"launcher peak resident memory {rss / 1024:.1f} MiB")
    ours, zlib = crc_ratio(args.quick)
    print(f"gen_crc {ours:.2f} GB/s, zlib crc32 {zlib:.2f} GB/s, taken in turn: {ours / zlib:.2f}x")


if __name__ == "__main__":
    main()

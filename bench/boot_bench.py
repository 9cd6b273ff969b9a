#!/usr/bin/python3
"""Boot figures on the simulated blade: a slot holding a 64 MiB application component.

Prints, for the optimised build (cmake --preset bench): the time from the launcher's
start to its exec of /bin/backtrace less the pauses it asked for (as slept at the
simulation's time scale), the part of it spent before the archive is unpacked (slot
walk, whole-component read, CRC, archive write), a plain `cp` of the same component
within the board's /tmp for comparison, and the launcher's peak resident memory.
"""
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
BUILD = os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "bench"))
BLADESIM = os.path.join(REPO, "sim", "bladesim")
SCALE = 0.001
MIB = 1 << 20
RUNS = int(os.environ.get("RUNS", "3"))


def sim(*args, **kw):
    env = dict(os.environ, BLADESIM_BUILD=BUILD)
    return subprocess.run(["/usr/bin/python3", BLADESIM, *args], env=env, check=True,
                          capture_output=True, text=True, **kw)


def big_archive(path, size):
    with open(os.path.join(BUILD, "sim", "demoapp"), "rb") as f:
        app = f.read()
    members = {"home/bin/mp.elf.strip": (app, 0o755), "home/etc/release": (b"bench 64 MiB\n", 0o644),
               "home/pad.bin": (os.urandom(size), 0o644)}
    with tarfile.open(path, "w:gz", compresslevel=1) as tar:
        for name, (data, mode) in members.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))


def main():
    for tool in ("src/bladeboot", "sim/libbladesim.so", "tools/bladepkg", "sim/demoapp"):
        if not os.path.exists(os.path.join(BUILD, tool)):
            sys.exit(f"build {BUILD} first: cmake --preset bench && cmake --build --preset bench")
    work = tempfile.mkdtemp(prefix="bootbench-")
    board = os.path.join(work, "board")
    sim("new", board)
    archive = os.path.join(work, "app.tar.gz")
    big_archive(archive, 64 * MIB - 64 * 1024)
    pkg = os.path.join(work, "app.pkg")
    subprocess.run([os.path.join(BUILD, "tools", "bladepkg"), "create", pkg, f"app:9.0.0.64:{archive}"],
                   check=True)
    sim("slot", board, "1", pkg)
    component = os.path.getsize(pkg)

    boots, before_unpack, rss, rss_time = [], [], [], []
    for _ in range(RUNS):
        journal = os.path.join(board, "journal.jsonl")
        open(journal, "w").close()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", "/usr/bin/python3", BLADESIM, "boot", board,
                            "--time-scale", str(SCALE)],
                           env=dict(os.environ, BLADESIM_BUILD=BUILD), capture_output=True, text=True)
        events = [json.loads(l) for l in open(journal)]
        start = next(e for e in events if e["event"] == "start")
        launcher = start["pid"]
        ex = next(e for e in events if e["event"] == "exec" and e["pid"] == launcher)
        unpack = next(e for e in events if e["event"] == "shell" and "tar mxzf" in e["command"])
        slept = sum(e["seconds"] for e in events if e["event"] == "pause" and e["pid"] == launcher) * SCALE
        boots.append(ex["t"] - start["t"] - slept)
        slept_before = sum(e["seconds"] for e in events if e["event"] == "pause" and e["pid"] == launcher
                           and e["t"] <= unpack["t"]) * SCALE
        before_unpack.append(unpack["t"] - start["t"] - slept_before)
        rss.append(ex["peak_rss_kb"])
        rss_time.append(int(r.stderr.strip().splitlines()[-1]))

    copies = []
    src = os.path.join(board, "tmp", "component")
    subprocess.run(["cp", pkg, src], check=True)
    for _ in range(RUNS):
        t = time.time()
        subprocess.run(["cp", src, src + ".copy"], check=True)
        copies.append(time.time() - t)
        os.unlink(src + ".copy")

    print(f"application component: {component / MIB:.1f} MiB, {RUNS} boots, medians")
    print(f"launcher start to exec of /bin/backtrace, less pauses: {statistics.median(boots) * 1000:.0f} ms")
    print(f"  of which before the unpack (walk, read, CRC, archive): {statistics.median(before_unpack) * 1000:.0f} ms")
    print(f"plain cp of the component within /tmp: {statistics.median(copies) * 1000:.0f} ms")
    print(f"launcher peak resident memory (VmHWM at exec): {statistics.median(rss) / 1024:.1f} MiB")
    print(f"largest resident set of the boot's processes (/usr/bin/time): {max(rss_time) / 1024:.1f} MiB")
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()

#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""System board figures: the PowerPC launcher on Linux under qemu-system-ppc.

- building the kernel, BusyBox and the root filesystem from nothing (with --fresh, into an
  empty cache: about ten minutes on 2 cores), and a start with everything cached;
- time from `bladesim boot` to the exec of the application, default board;
- the launcher's time from its start to the application's exec with a slot holding the
  demo application and an 8 MiB file (walk, CRC, archive, unpacking) against the default
  30 KiB slot on the same machine;
- the guest's free memory when the application starts.
Times of the guest's events are taken on the host, as they arrive on the board's event line.
"""
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLADESIM = os.path.join(REPO, "sim", "bladesim")
RUNS = int(os.environ.get("RUNS", "3"))


def sim(*args, env=None):
    return subprocess.run(["/usr/bin/python3", BLADESIM, *args], check=True, capture_output=True,
                          text=True, env=env)


def timed_boot(board):
    """Seconds from the boot command to the launcher's start and to the application's exec,
    and the free memory the application found."""
    events = os.path.join(board, "run", "events")
    if os.path.exists(events):
        os.unlink(events)  # the last boot's; this boot's is made anew
    start = time.monotonic()
    proc = subprocess.Popen(["/usr/bin/python3", BLADESIM, "boot", board],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    seen, launcher, application = "", None, None
    while proc.poll() is None or application is None:
        try:
            with open(events) as f:
                seen = f.read()
        except FileNotFoundError:
            pass
        now = time.monotonic() - start
        if launcher is None and "launcher" in seen:
            launcher = now
        if application is None and "application" in seen:
            application = now
        if proc.poll() is not None and application is None:
            raise SystemExit(f"the boot of {board} did not reach the application")
        time.sleep(0.005)
    proc.wait()
    with open(events) as f:
        memfree = f.read().split("memfree=", 1)[1].split()[0]
    return launcher, application, memfree


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


def main():
    if "--fresh" in sys.argv:
        with tempfile.TemporaryDirectory() as cache:
            t = time.monotonic()
            sim("build", env=dict(os.environ, BLADESIM_CACHE=cache))
            print(f"first build (kernel, BusyBox, root filesystem): {time.monotonic() - t:.0f} s")
    t = time.monotonic()
    sim("build")
    print(f"cached start of the build step: {time.monotonic() - t:.2f} s")
    with tempfile.TemporaryDirectory() as work:
        board = os.path.join(work, "board")
        sim("new", board, "--system")
        small = [timed_boot(board) for _ in range(RUNS)]
        sim("slot", board, "1", big_slot(work))
        large = [timed_boot(board) for _ in range(RUNS)]
    to_app = median([a for _, a, _ in small])
    own_small = median([a - l for l, a, _ in small])
    own_large = median([a - l for l, a, _ in large])
    print(f"boot command to the application's exec (default board): {to_app:.2f} s")
    print(f"launcher start to exec, 30 KiB slot: {own_small:.2f} s; 8 MiB slot: {own_large:.2f} s"
          f" (the 8 MiB slot costs {own_large - own_small:.2f} s on the emulated CPU)")
    print(f"guest free memory at the application's start: {small[-1][2]} (8 MiB slot: "
          f"{large[-1][2]})")


if __name__ == "__main__":
    main()

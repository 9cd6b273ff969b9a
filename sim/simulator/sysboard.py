# SPDX-License-Identifier: MIT
"""The system board's machine: the PowerPC launcher on a real Linux kernel under
qemu-system-ppc, with the blade's flash, I2C devices, console and lab; the flash and the
user filesystem back into the board's files when it ends."""
import fcntl
import os
import select
import shutil
import struct
import time

from .description import ERASE_SIZE, PARTITIONS, PATHS, shell_settings
from .jffs2 import JFFS2_MAGIC, extract_jffs2, jffs2_crc
from .sysbuild import cpio, initramfs, key_of, read, run

# The machine: QEMU's e500 board with the blade's flash, I2C devices, console and lab.
MIB = 1024 * 1024
FLASH_SIZE = 64 * MIB
FLASH_MTD_ID = "f00000000.nor"
FLASH_EVENTS = ("pflash_erase_complete", "pflash_data_write_block")


def user_manifest(user_dir):
    """What the host-side view of /user holds, to tell whether it changed since the last boot."""
    rows = []
    for top, dirs, files in os.walk(user_dir):
        dirs.sort()
        for name in sorted(dirs + files):
            st = os.lstat(os.path.join(top, name))
            rows.append(f"{os.path.relpath(os.path.join(top, name), user_dir)} {st.st_mode} "
                        f"{st.st_size} {st.st_mtime_ns}")
    return key_of(*rows)


def user_image(board, size, log):
    """The user partition: as the last boot left it, or made anew from the board's /user."""
    stamp, image = board.p("flash", "user.stamp"), board.flash("user")
    if os.path.exists(stamp) and read(stamp).decode() == user_manifest(board.p("user")):
        return read(image)
    run(["mkfs.jffs2", "--big-endian", "-e", str(ERASE_SIZE), "-p", "-o", image,
         "-d", board.p("user")], log)
    # The rest of the partition as erased blocks with their clean markers, as the kernel
    # leaves a formatted partition: the first mount then erases nothing.
    marker = struct.pack(">HHI", JFFS2_MAGIC, 0x2003, 12)
    marker += struct.pack(">I", jffs2_crc(marker))
    data = read(image)
    blocks = [marker + b"\xff" * (ERASE_SIZE - len(marker))] * ((size - len(data)) // ERASE_SIZE)
    data += b"".join(blocks)
    with open(image, "wb") as f:
        f.write(data)
    return data


def assemble_flash(board, partitions, out, log):
    with open(out + ".part", "wb") as f:
        for name, size in partitions.items():
            data = user_image(board, size, log) if name == "user" else read(board.flash(name))
            f.write(data[:size] + b"\xff" * (size - len(data[:size])))
        f.write(b"\xff" * (FLASH_SIZE - f.tell()))
    os.replace(out + ".part", out)


def split_flash(board, partitions, flash):
    """The partitions back into the board's files, /user into its directory."""
    at = 0
    for name, size in partitions.items():
        with open(board.flash(name), "wb") as f:
            f.write(flash[at:at + size])
        if name == "user":
            extract_jffs2(flash[at:at + size], board.p("user"))
            with open(board.p("flash", "user.stamp"), "w") as f:
                f.write(user_manifest(board.p("user")))
        at += size


def eeprom_changes(events, eeprom):
    """The EEPROM as the guest's watcher last reported it ("eeprom OFFSET VALUE" lines)."""
    data = bytearray(eeprom)
    for line in events:
        words = line.split()
        if len(words) == 3 and words[0] == "eeprom" and words[1].isdigit() and words[2].isdigit():
            data[int(words[1]) % len(data)] = int(words[2]) & 0xFF
    return bytes(data)


def qemu_command(board, partitions, kdir, baudrate, console_tty):
    """QEMU's command line. It runs in the lab's network namespace: the blade's management
    port (eth1, the second card) is on the lab's tap device, where the lab's router, DHCP
    and TFTP servers are, as on the preload board; the first card is the blade's other port,
    left on a network of its own."""
    r = board.p("run")
    parts = ",".join(f"{size // 1024}k({name})" for name, size in partitions.items())
    with open(os.path.join(r, "trace-events"), "w") as f:
        f.write("\n".join(FLASH_EVENTS) + "\n")
    cmd = ["qemu-system-ppc", "-M", "ppce500", "-cpu", "e500mc", "-m", "256", "-display", "none",
           "-nodefaults", "-no-reboot", "-kernel", os.path.join(kdir, "vmlinux"),
           "-initrd", os.path.join(r, "initrd"), "-pidfile", os.path.join(r, "qemu.pid"),
           "-append", f"console={os.path.basename(PATHS['console'])},{baudrate} quiet mtdparts={FLASH_MTD_ID}:{parts}",
           "-drive", f"if=pflash,file={os.path.join(r, 'flash.bin')},format=raw",
           "-chardev", f"serial,id=console,path={console_tty}",
           "-serial", "chardev:console",
           "-chardev", f"file,id=events,path={os.path.join(r, 'events')}",
           "-serial", "chardev:events",
           "-netdev", "user,id=spare,restrict=on", "-device", "e1000,netdev=spare,romfile=",
           "-netdev", "tap,id=lab,ifname=lab0,script=no,downscript=no",
           "-device", "e1000,netdev=lab,romfile=",
           "-trace", f"events={os.path.join(r, 'trace-events')},file={os.path.join(r, 'trace')}"]
    return cmd


def prepare(board, partitions, launcher, baudrate, console_tty, image=None, faults=(),
            after=None, scale=1.0):
    """Everything one boot needs in the board's run directory; returns QEMU's command line."""
    r = board.p("run")
    os.makedirs(r, exist_ok=True)
    log = os.path.join(r, "prepare.log")
    base, kdir = initramfs(launcher)
    stage = os.path.join(r, "stage")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "etc", "board"))
    shutil.copy(board.p("eeprom.bin"), os.path.join(stage, "etc", "board", "eeprom.bin"))
    with open(os.path.join(stage, "etc", "board", "baudrate"), "w") as f:
        f.write(f"{baudrate}\n")
    with open(os.path.join(stage, "etc", "board", "board.sh"), "w") as f:
        f.write(shell_settings(faults))
    with open(os.path.join(stage, "etc", "board", "time_scale"), "w") as f:
        f.write(f"{scale!r}\n")
    if image:
        shutil.copy(image, os.path.join(stage, "etc", "board", "image"))
    if after:
        shutil.copy(after, os.path.join(stage, "etc", "board", "after"))
    cpio(stage, os.path.join(r, "board.cpio"), log)
    with open(os.path.join(r, "initrd"), "wb") as out:
        for part in (base, os.path.join(r, "board.cpio")):
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out)
    assemble_flash(board, partitions, os.path.join(r, "flash.bin"), log)
    open(os.path.join(r, "events"), "w").close()
    # The trace is a pipe. For a power cut it is kept small, so that QEMU runs no further
    # ahead of the flash watcher than it holds: the cut at the Nth event falls within a few
    # dozen events of it. Otherwise it is as large as a pipe gets, so that the counting never
    # holds QEMU back: the flash then runs at its own speed.
    trace = os.path.join(r, "trace")
    if os.path.lexists(trace):
        os.unlink(trace)
    os.mkfifo(trace)
    return qemu_command(board, partitions, kdir, baudrate, console_tty)


F_SETPIPE_SZ = 1031


def watch_flash(run_dir, cut_at, proc, done):
    """Reads the machine's trace as it runs and counts the flash's erases and programs after
    the launcher started, keeping the count in run/flash-events; with CUT_AT, kills the
    machine at that one: a power cut. What the kernel had not yet written to the flash is
    lost with it. True when it cut."""
    seen, started, said, shown, rest = 0, False, b"", 0.0, b""
    counter = os.path.join(run_dir, "flash-events")

    def show():
        with open(counter + ".part", "w") as f:
            f.write(f"{seen}\n")
        os.replace(counter + ".part", counter)
    trace = os.open(os.path.join(run_dir, "trace"), os.O_RDONLY | os.O_NONBLOCK)
    try:
        if cut_at:
            fcntl.fcntl(trace, F_SETPIPE_SZ, 4096)
        else:
            with open("/proc/sys/fs/pipe-max-size") as f:
                fcntl.fcntl(trace, F_SETPIPE_SZ, int(f.read()))
        with open(os.path.join(run_dir, "events"), "rb") as events:
            while not done.is_set():
                if not started:
                    said += events.read()
                    started = b"launcher" in said
                if time.monotonic() - shown > 0.05:
                    show()
                    shown = time.monotonic()
                if not select.select([trace], [], [], 0.01)[0]:
                    continue
                try:
                    data = os.read(trace, 65536)
                except BlockingIOError:
                    continue
                if not data:  # no writer: QEMU has not opened it yet, or has ended
                    done.wait(0.01)
                    continue
                lines = (rest + data).split(b"\n")
                rest = lines.pop()
                for line in lines if started else []:
                    if any(e.encode() in line for e in FLASH_EVENTS):
                        seen += 1
                        if seen == cut_at:
                            proc.kill()
                            show()
                            return True
    finally:
        os.close(trace)
    show()
    return False


def finish(board, partitions=PARTITIONS):
    """What the machine left: flash back into the board's files, the EEPROM's changes."""
    r = board.p("run")
    split_flash(board, partitions, read(os.path.join(r, "flash.bin")))
    events = read(os.path.join(r, "events")).decode("latin-1").splitlines()
    eeprom = eeprom_changes(events, read(board.p("eeprom.bin")))
    with open(board.p("eeprom.bin"), "wb") as f:
        f.write(eeprom)
    return events

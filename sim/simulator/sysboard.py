# SPDX-License-Identifier: MIT
"""The system board: the PowerPC launcher on a real Linux kernel under qemu-system-ppc.

What the machine needs is built once from Debian's packages and cached outside the source
tree, keyed by its inputs: the kernel from linux-source-6.1, BusyBox from Debian's source
package, the blade's helpers, and an initramfs around the ppc build of bladeboot.
"""
import fcntl
import hashlib
import os
import select
import shutil
import subprocess
import sys
import stat
import struct
import tempfile
import time
import zlib

from .description import ERASE_SIZE, PARTITIONS, guest_settings

HERE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
CONF = os.path.join(HERE, "system")
CACHE = os.environ.get("BLADESIM_CACHE") or os.path.join(os.path.expanduser("~"), ".cache",
                                                          "bladesim")
CROSS = "powerpc-linux-gnu-"
SYSROOT = "/usr/powerpc-linux-gnu"
LINUX_TAR = "/usr/src/linux-source-6.1.tar.xz"
DEBIAN_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
MIRRORS = ("http://deb.debian.org/debian bookworm main",
           "http://deb.debian.org/debian-security bookworm-security main")


class BuildError(Exception):
    pass


def progress(text):
    print(f"bladesim: {text}", file=sys.stderr, flush=True)


def key_of(*parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(part if isinstance(part, bytes) else str(part).encode())
        h.update(b"\0")
    return h.hexdigest()[:16]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def output(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=False).stdout.strip()


def run(cmd, log, cwd=None, stdin=None):
    """Runs a build step with its output in the log; the log's tail explains a failure."""
    with open(log, "a") as f:
        f.write(f"$ {' '.join(cmd)}\n")
        f.flush()
        rc = subprocess.run(cmd, cwd=cwd, stdout=f, stderr=subprocess.STDOUT,
                            stdin=stdin if stdin is not None else subprocess.DEVNULL).returncode
    if rc != 0:
        with open(log) as f:
            tail = "".join(f.readlines()[-15:])
        raise BuildError(f"{' '.join(cmd[:3])} failed (exit {rc}); the end of {log}:\n{tail}")


def cached(name, key, build):
    """The cache entry NAME-KEY, built into a temporary directory and renamed into place."""
    dest = os.path.join(CACHE, f"{name}-{key}")
    if os.path.isdir(dest):
        return dest
    os.makedirs(CACHE, exist_ok=True)
    work = tempfile.mkdtemp(prefix=f"{name}-", dir=CACHE)
    try:
        build(work, os.path.join(CACHE, f"{name}-{key}.log"))
        os.rename(work, dest)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return dest


def toolchain():
    return output([CROSS + "gcc", "--version"]).splitlines()[:1]


def package_version(name):
    return output(["dpkg-query", "-W", "-f", "${Version}", name])


def merge_config(config_path, fragment_path):
    """Sets every option of the fragment in a .config; returns the options that did not stick."""
    wanted = {}
    for line in read(fragment_path).decode().splitlines():
        if line.startswith("CONFIG_"):
            name, value = line.split("=", 1)
            wanted[name] = value
    lines = read(config_path).decode().splitlines()
    kept = [l for l in lines if not any(l.startswith(n + "=") or l == f"# {n} is not set"
                                        for n in wanted)]
    kept += [f"{n}={v}" if v != "n" else f"# {n} is not set" for n, v in wanted.items()]
    with open(config_path, "w") as f:
        f.write("\n".join(kept) + "\n")
    return wanted


def missing_options(config_path, wanted):
    text = set(read(config_path).decode().splitlines())

    def lost(name, value):
        return f"{name}=y" in text if value == "n" else f"{name}={value}" not in text
    return [n for n, v in wanted.items() if lost(n, v)]


def kernel():
    fragment = os.path.join(CONF, "kernel.config")

    def build(work, log):
        progress("building the kernel from linux-source-6.1, once (about 5 minutes on 2 cores); "
                 f"log: {log}")
        run(["tar", "xJf", LINUX_TAR, "-C", work], log)
        src = os.path.join(work, "linux-source-6.1")
        make = ["make", "-C", src, "ARCH=powerpc", f"CROSS_COMPILE={CROSS}"]
        run(make + ["allnoconfig"], log)
        wanted = merge_config(os.path.join(src, ".config"), fragment)
        run(make + ["olddefconfig"], log)
        lost = missing_options(os.path.join(src, ".config"), wanted)
        if lost:
            raise BuildError("the kernel configuration dropped " + ", ".join(lost))
        run(make + [f"-j{os.cpu_count() or 2}", "vmlinux", "modules"], log)
        shutil.copy(os.path.join(src, "vmlinux"), os.path.join(work, "vmlinux"))
        for module in ("i2c-stub.ko", "busses/i2c-mpc.ko"):
            shutil.copy(os.path.join(src, "drivers", "i2c", module), work)
        shutil.copy(os.path.join(src, ".config"), os.path.join(work, "config"))
        shutil.rmtree(src)

    key = key_of(read(fragment), package_version("linux-source-6.1"), toolchain())
    return cached("kernel", key, build)


def fetch_source(package, dest, log):
    """apt-get source through a private source list; the machine's apt set-up is left alone."""
    apt = os.path.join(CACHE, "apt")
    os.makedirs(os.path.join(apt, "lists", "partial"), exist_ok=True)
    os.makedirs(os.path.join(apt, "cache", "archives", "partial"), exist_ok=True)
    with open(os.path.join(apt, "sources.list"), "w") as f:
        for m in MIRRORS:
            f.write(f"deb-src [signed-by={DEBIAN_KEYRING}] {m}\n")
    opts = ["-o", f"Dir::Etc::SourceList={apt}/sources.list", "-o", "Dir::Etc::SourceParts=/dev/null",
            "-o", f"Dir::State::Lists={apt}/lists", "-o", f"Dir::Cache={apt}/cache", "-q"]
    run(["apt-get"] + opts + ["update"], log)
    run(["apt-get"] + opts + ["source", package], log, cwd=dest)
    for name in sorted(os.listdir(dest)):
        if os.path.isdir(os.path.join(dest, name)) and name.startswith(package + "-"):
            return os.path.join(dest, name)
    raise BuildError(f"apt-get source {package} left no source tree")


def busybox():
    fragment = os.path.join(CONF, "busybox.config")

    def build(work, log):
        progress(f"building BusyBox from Debian's source package, once; log: {log}")
        src = fetch_source("busybox", work, log)
        make = ["make", "-C", src, f"CROSS_COMPILE={CROSS}"]
        run(make + ["allnoconfig"], log)
        wanted = merge_config(os.path.join(src, ".config"), fragment)
        with open(os.devnull, "rb") as none:
            run(make + ["oldconfig"], log, stdin=none)
        lost = missing_options(os.path.join(src, ".config"), wanted)
        if lost:
            raise BuildError("the BusyBox configuration dropped " + ", ".join(lost))
        run(make + [f"-j{os.cpu_count() or 2}", "busybox"], log)
        shutil.copy(os.path.join(src, "busybox"), os.path.join(work, "busybox"))
        for name in os.listdir(work):
            if name != "busybox":
                p = os.path.join(work, name)
                shutil.rmtree(p) if os.path.isdir(p) else os.unlink(p)

    key = key_of(read(fragment), toolchain())
    return os.path.join(cached("busybox", key, build), "busybox")


def needed_libraries(binaries):
    """The shared libraries the binaries load, with theirs, from the cross sysroot."""
    libdir = os.path.join(SYSROOT, "lib")
    found, todo = {"ld.so.1"}, list(binaries)
    while todo:
        for line in output([CROSS + "readelf", "-d", todo.pop()]).splitlines():
            if "(NEEDED)" in line:
                name = line.split("[", 1)[1].rstrip("]")
                if name not in found:
                    found.add(name)
                    todo.append(os.path.join(libdir, name))
    return [os.path.join(libdir, n) for n in sorted(found)]


GUEST_FILES = {"init": "init", "backtrace": "bin/backtrace", "reboot": "bin/reboot",
               "dhclient": "bin/dhclient", "udhcpc.script": "etc/udhcpc.script",
               "stop-eeprom-watch": "bin/stop-eeprom-watch"}


# The guest's own helpers, built from sim/system/NAME.c into /bin/NAME.
GUEST_PROGRAMS = ("eeprom", "phases")


def initramfs(launcher):
    """The root filesystem around LAUNCHER (the ppc build of bladeboot), as a newc cpio."""
    kdir, bb = kernel(), busybox()
    sources = [os.path.join(CONF, n) for n in sorted(GUEST_FILES)] + [
        os.path.join(CONF, f"{n}.c") for n in GUEST_PROGRAMS]

    def build(work, log):
        root = os.path.join(work, "root")
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "lib/modules", "etc/board", "proc", "sys",
                  "dev", "tmp", "user"):
            os.makedirs(os.path.join(root, d))
        shutil.copy(bb, os.path.join(root, "bin", "busybox"))
        applets = output(["qemu-ppc", "-L", SYSROOT, bb, "--list"]).split()
        for name in applets:
            place = "usr/bin" if name == "rx" else "bin"
            if not os.path.exists(os.path.join(root, "bin", name)) and name != "reboot":
                os.symlink("/bin/busybox", os.path.join(root, place, name))
        for src, dest in GUEST_FILES.items():
            shutil.copy(os.path.join(CONF, src), os.path.join(root, dest))
        shutil.copy(launcher, os.path.join(root, "bin", "bladeboot"))
        for module in ("i2c-stub.ko", "i2c-mpc.ko"):
            shutil.copy(os.path.join(kdir, module), os.path.join(root, "lib", "modules"))
        for name in GUEST_PROGRAMS:
            run([CROSS + "gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-o",
                 os.path.join(root, "bin", name), os.path.join(CONF, f"{name}.c")], log)
        for lib in needed_libraries([launcher, bb]):
            shutil.copy(lib, os.path.join(root, "lib", os.path.basename(lib)))
        cpio(root, os.path.join(work, "initramfs.cpio"), log)
        shutil.rmtree(root)

    key = key_of(kdir, bb, read(launcher), *[read(s) for s in sources], toolchain())
    return os.path.join(cached("initramfs", key, build), "initramfs.cpio"), kdir


def cpio(root, out, log):
    names = subprocess.run(["find", ".", "-mindepth", "1"], cwd=root, capture_output=True,
                           text=True, check=True).stdout
    with open(out, "wb") as f, open(log, "a") as err:
        rc = subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root,
                            input=names.encode(), stdout=f, stderr=err).returncode
    if rc != 0:
        raise BuildError(f"cpio failed (exit {rc}); see {log}")


# JFFS2 as the guest's kernel leaves it on the user partition (big-endian nodes).
JFFS2_MAGIC = 0x1985
JFFS2_DIRENT, JFFS2_INODE = 0xE001, 0xE002


def jffs2_crc(data):
    """The kernel's crc32 as JFFS2 keeps it: seed 0, no final inversion."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def rtime_decompress(data, size):
    out, positions, at = bytearray(), [0] * 256, 0
    while len(out) < size and at + 1 < len(data):
        value, repeat = data[at], data[at + 1]
        at += 2
        out.append(value)
        back = positions[value]
        positions[value] = len(out)
        for _ in range(repeat):
            out.append(out[back])
            back += 1
    return bytes(out[:size])


def jffs2_nodes(image):
    """The valid dirent and inode nodes, as a mount would accept them."""
    at = 0
    while at + 12 <= len(image):
        magic, ntype, total, hcrc = struct.unpack_from(">HHII", image, at)
        if magic != JFFS2_MAGIC or jffs2_crc(image[at:at + 8]) != hcrc or total < 12 \
                or at + total > len(image):
            at += 4
            continue
        node = image[at:at + total]
        if ntype == JFFS2_DIRENT and total >= 40:
            pino, ver, ino, _, nsize, _, ncrc, namecrc = struct.unpack_from(">IIIIBBxxII", node, 12)
            name = node[40:40 + nsize]
            if jffs2_crc(node[:32]) == ncrc and jffs2_crc(name) == namecrc and len(name) == nsize:
                yield "dirent", (pino, ver, ino, name.decode("latin-1"))
        elif ntype == JFFS2_INODE and total >= 68:
            f = struct.unpack_from(">IIIHHIIIIIIIBBHII", node, 12)
            ino, ver, mode, isize, offset, csize, dsize, compr, dcrc, ncrc = (
                f[0], f[1], f[2], f[5], f[9], f[10], f[11], f[12], f[15], f[16])
            data = node[68:68 + csize]
            if jffs2_crc(node[:60]) == ncrc and (csize == 0 or jffs2_crc(data) == dcrc):
                yield "inode", (ino, ver, mode, isize, offset, dsize, compr, data)
        at += (total + 3) & ~3


def jffs2_tree(image):
    """{path: (mode, bytes)} of the filesystem a mount of IMAGE shows."""
    dirents, inodes = {}, {}
    for kind, node in jffs2_nodes(image):
        if kind == "dirent":
            pino, ver, ino, name = node
            if (pino, name) not in dirents or dirents[(pino, name)][0] < ver:
                dirents[(pino, name)] = (ver, ino)
        else:
            inodes.setdefault(node[0], []).append(node)
    files = {}
    for ino, nodes in inodes.items():
        nodes.sort(key=lambda n: n[1])
        mode, isize = nodes[-1][2], nodes[-1][3]
        data = bytearray(isize)
        for _, _, _, _, offset, dsize, compr, raw in nodes:
            piece = (zlib.decompress(raw) if compr == 6 else rtime_decompress(raw, dsize)
                     if compr == 2 else bytes(dsize) if compr == 1 else raw)[:dsize]
            end = min(offset + len(piece), isize)
            data[offset:end] = piece[:max(0, end - offset)]
        files[ino] = (mode, bytes(data))
    children = {}
    for (pino, name), (_, ino) in dirents.items():
        if ino:
            children.setdefault(pino, []).append((name, ino))
    tree, todo = {}, [(1, "")]
    while todo:
        pino, prefix = todo.pop()
        for name, ino in children.get(pino, []):
            mode, data = files.get(ino, (0o40755, b""))
            tree[prefix + name] = (mode, data)
            if stat.S_ISDIR(mode) and len(tree) < 100000:
                todo.append((ino, prefix + name + "/"))
    return tree


def extract_jffs2(image, dest):
    """Replaces DEST's contents with the filesystem in IMAGE."""
    for name in os.listdir(dest):
        p = os.path.join(dest, name)
        shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
    for path, (mode, data) in sorted(jffs2_tree(image).items()):
        target = os.path.join(dest, path)
        if stat.S_ISDIR(mode):
            os.makedirs(target, exist_ok=True)
        elif stat.S_ISLNK(mode):
            os.symlink(data.decode("latin-1"), target)
        elif stat.S_ISREG(mode):
            with open(target, "wb") as f:
                f.write(data)
            os.chmod(target, stat.S_IMODE(mode))


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
           "-append", f"console=ttyS0,{baudrate} quiet mtdparts={FLASH_MTD_ID}:{parts}",
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
            floor=False):
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
        f.write(guest_settings(faults))
    if image:
        shutil.copy(image, os.path.join(stage, "etc", "board", "image"))
    if floor:
        open(os.path.join(stage, "etc", "board", "measure"), "w").close()
    cpio(stage, os.path.join(r, "board.cpio"), log)
    with open(os.path.join(r, "initrd"), "wb") as out:
        for part in (base, os.path.join(r, "board.cpio")):
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out)
    assemble_flash(board, partitions, os.path.join(r, "flash.bin"), log)
    open(os.path.join(r, "events"), "w").close()
    # The trace is a pipe, so that QEMU runs no further ahead of the flash watcher than the
    # pipe holds: a power cut at the Nth event falls within a few dozen events of it.
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
        fcntl.fcntl(trace, F_SETPIPE_SZ, 4096)
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

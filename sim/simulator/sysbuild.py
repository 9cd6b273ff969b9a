# SPDX-License-Identifier: MIT
"""What the system board's machine needs, built once from Debian's packages and cached
outside the source tree, keyed by its inputs: the kernel from linux-source-6.1, BusyBox
from Debian's source package, the blade's helpers, and an initramfs around the ppc build
of bladeboot."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

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


GUEST_FILES = {"init": "init", "sh": "bin/sh", "backtrace": "bin/backtrace",
               "reboot": "bin/reboot", "dhclient": "bin/dhclient", "udhcpc.script": "etc/udhcpc.script",
               "stop-eeprom-watch": "bin/stop-eeprom-watch"}


# The guest's own helpers, built from sim/system/NAME.c into /bin/NAME.
GUEST_PROGRAMS = ("eeprom", "phases")


def initramfs(launcher):
    """The root filesystem around LAUNCHER (the ppc build of bladeboot), as a newc cpio."""
    kdir, bb = kernel(), busybox()
    sources = [os.path.join(CONF, n) for n in sorted(GUEST_FILES)] + [
        os.path.join(CONF, f"{n}.c") for n in GUEST_PROGRAMS + ("clock",)]

    def build(work, log):
        root = os.path.join(work, "root")
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "lib/modules", "etc/board", "proc", "sys",
                  "dev", "tmp", "user"):
            os.makedirs(os.path.join(root, d))
        shutil.copy(bb, os.path.join(root, "bin", "busybox"))
        for src, dest in GUEST_FILES.items():
            shutil.copy(os.path.join(CONF, src), os.path.join(root, dest))
        applets = output(["qemu-ppc", "-L", SYSROOT, bb, "--list"]).split()
        for name in applets:
            place = "usr/bin" if name == "rx" else "bin"
            if not os.path.exists(os.path.join(root, "bin", name)):
                os.symlink("/bin/busybox", os.path.join(root, place, name))
        shutil.copy(launcher, os.path.join(root, "bin", "bladeboot"))
        for module in ("i2c-stub.ko", "i2c-mpc.ko"):
            shutil.copy(os.path.join(kdir, module), os.path.join(root, "lib", "modules"))
        for name in GUEST_PROGRAMS:
            run([CROSS + "gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-o",
                 os.path.join(root, "bin", name), os.path.join(CONF, f"{name}.c")], log)
        run([CROSS + "gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o",
             os.path.join(root, "lib", "bladesim-clock.so"), os.path.join(CONF, "clock.c"),
             "-ldl"], log)
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

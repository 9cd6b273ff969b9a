# SPDX-License-Identifier: MIT
"""The preload board's sandbox: a bubblewrap root view with private mount, IPC, UTS and PID
namespaces whose /dev leads the blade's device paths to the board's files, whose /bin holds
BusyBox's shell, the platform stand-ins and real Debian tools, and where the launcher runs
with the device library preloaded."""
import os

from .boardfiles import REPO, host_tool, ppc_tool, tool
from .description import (CPLD, DEVICE_PREFIX, DEVICES, EEPROM_SIZE, ERASE_SIZE,
                          FAULT, FLASH_PARTITIONS, I2C, PATHS, USER_CAPACITY, absent_paths,
                          shell_settings)

PPC_SYSROOT = "/usr/powerpc-linux-gnu"
STUBS = os.path.join(REPO, "sim", "stubs")


def board_files(board, console_tty):
    """{path in the board: (how, source)}: what the launcher finds where the blade has it."""
    busybox = tool("/usr/bin/busybox", "busybox (apt-get install busybox)")
    files = {dev: ("bind", board.flash(part)) for dev, part in DEVICES.items()}
    # The board controller: I2C bus 0 carries the VPD EEPROM, bus 1 nothing.
    files[I2C["buses"][0]] = ("bind", board.p("eeprom.bin"))
    files[I2C["buses"][1]] = ("bind", board.p("i2c-1.bin"))
    files[CPLD["path"]] = ("bind", board.p("cpld.bin"))
    # The blade's /bin: BusyBox's shell, the platform stand-ins, real tools.
    files["/bin/sh"] = ("ro-bind", busybox)
    files["/bin/busybox"] = ("ro-bind", busybox)
    for name in ("mount", "reboot", "backtrace", "flash_eraseall", "dhclient"):
        files[f"/bin/{name}"] = ("ro-bind", os.path.join(STUBS, name))
    files["/bin/umount"] = ("ro-bind", "/usr/bin/umount")
    files["/usr/bin/rx"] = ("ro-bind", os.path.join(STUBS, "rx"))
    files["/bin/tftp"] = ("ro-bind", busybox)
    if os.path.exists("/usr/bin/gdbserver"):
        files["/bin/gdbserver"] = ("ro-bind", "/usr/bin/gdbserver")
    # The console's serial port is the console's own terminal line.
    if console_tty:
        files[PATHS["console"]] = ("dev-bind", console_tty)
    return files


def stub_settings(board, faults):
    """The board's facts for the platform stand-ins, as a shell include."""
    path = board.p("run", "board.sh")
    with open(path, "w") as f:
        f.write(shell_settings(faults))
    return path


def sandbox_command(board, faults, ppc, scale, info_fd=None, console_tty=None):
    board.ensure_hardware()
    host_boot = host_tool(os.path.join("src", "bladeboot"), "bladeboot")
    host_lib = host_tool(os.path.join("sim", "libbladesim.so"), "device library")
    cmd = ["bwrap", "--die-with-parent", "--cap-add", "ALL"]
    if info_fd is not None:
        cmd += ["--info-fd", str(info_fd)]
    # A PID namespace of its own: whatever the launcher started (debug server, application,
    # DHCP client) ends with the sandbox, however the boot ends.
    cmd += ["--unshare-ipc", "--unshare-uts", "--unshare-pid", "--hostname", "blade",
            "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
            "--symlink", "usr/lib", "/lib", "--symlink", "usr/sbin", "/sbin"]
    if os.path.exists("/lib64"):
        cmd += ["--symlink", "usr/lib64", "/lib64"]
    cmd += ["--proc", "/proc", "--dev", "/dev", "--tmpfs", "/run", "--dir", "/var/run",
            "--bind", board.path, "/board", "--bind", board.p("tmp"), "/tmp",
            "--dir", PATHS["user"], "--dir", "/bin",
            "--ro-bind", STUBS, "/sim/stubs",
            "--ro-bind", stub_settings(board, faults), "/sim/board.sh",
            "--ro-bind", host_boot, "/sim/host/bladeboot",
            "--ro-bind", host_lib, "/sim/host/libbladesim.so"]
    # A fault takes a program or device file off the board, or leaves it there as no program.
    taken = absent_paths(faults)
    for path, (how, source) in board_files(board, console_tty).items():
        if taken.get(path) == "absent":
            continue
        if taken.get(path) == "not_a_program":
            how, source = "ro-bind", "/dev/null"
        cmd += [f"--{how}", source, path]

    env = {
        "PATH": "/bin:/sbin:/usr/bin:/usr/sbin",
        "HOME": "/", "TERM": os.environ.get("TERM", "vt100"),
        "BLADESIM_JOURNAL": "/board/journal.jsonl",
        "BLADESIM_BOARD": board.path,  # which board a process belongs to, for a look from outside
        "BLADESIM_TIME_SCALE": repr(scale),
        "BLADESIM_ERASESIZE": str(ERASE_SIZE),  # the device library's; the stand-ins' is board.sh
        "BLADESIM_FAULTS": ",".join(faults),
        # The launcher's sanitizers share the process with the preloaded device library.
        "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0",
        # What files may take of the user partition.
        "BLADESIM_USER_CAPACITY": str(USER_CAPACITY),
    }
    if console_tty:
        env["BLADESIM_LINE"] = "/board/run/line.sock"  # the line's UART: the relay
    cmd += ["--clearenv"]
    for k, v in env.items():
        cmd += ["--setenv", k, v]
    if ppc:
        ppc_boot = ppc_tool(os.path.join("src", "bladeboot"), "PowerPC bladeboot")
        ppc_lib = ppc_tool(os.path.join("sim", "libbladesim.so"), "PowerPC device library")
        cmd += ["--ro-bind", ppc_boot, "/sim/ppc/bladeboot",
                "--ro-bind", ppc_lib, "/sim/ppc/libbladesim.so",
                "--", "env", "--default-signal=QUIT,TSTP", "qemu-ppc", "-L", PPC_SYSROOT,
                "-E", "LD_PRELOAD=/sim/ppc/libbladesim.so",
                "/sim/ppc/bladeboot"]
    else:
        cmd += ["--", "env", "--default-signal=QUIT,TSTP", "LD_PRELOAD=/sim/host/libbladesim.so",
                "/sim/host/bladeboot"]
    if FAULT["tmpfull"] in faults or FAULT["tmp-small"] in faults:
        # A RAM /tmp that has no room left, or room for little more than an archive.
        fill = ('dd if=/dev/zero of="$0/.filler" bs=4k 2>/dev/null; '
                if FAULT["tmpfull"] in faults else "")
        script = f'mount -t tmpfs -o size=96k tmpfs "$0" && {fill}exec "$@"'
        cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
               board.p("tmp")] + cmd
    return cmd


def devices_command(work, library, program, erase, blocks):
    """PROGRAM on the device library alone, off any board: in a sandbox whose flash
    partitions (BLOCKS erase blocks of ERASE bytes each), I2C buses, CPLD register file and
    /user lead to fresh files in WORK, which the program finds in BLADESIM_BOARD_FILES.
    The fuzz targets run so; so can any tool being tried against the emulated devices."""
    cwd = os.getcwd()
    cmd = ["bwrap", "--die-with-parent", "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
           "--symlink", "usr/lib", "/lib", "--symlink", "usr/bin", "/bin", "--proc", "/proc",
           "--dev", "/dev", "--bind", "/tmp", "/tmp", "--bind", cwd, cwd, "--chdir", cwd]
    if os.path.exists("/lib64"):
        cmd += ["--symlink", "usr/lib64", "/lib64"]
    files = {f"mtd-{p}": f"{DEVICE_PREFIX}{p}" for p in FLASH_PARTITIONS}
    files.update({"eeprom": I2C["buses"][0], "i2c-1": I2C["buses"][1], "cpld": CPLD["path"]})
    contents = {"eeprom": b"\xff" * EEPROM_SIZE, "i2c-1": b"", "cpld": b"\0" * CPLD["size"]}
    for name, path in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(contents.get(name, b"\xff" * erase * blocks))
        cmd += ["--bind", os.path.join(work, name), path]
    os.makedirs(os.path.join(work, "user"))
    cmd += ["--bind", os.path.join(work, "user"), PATHS["user"]]
    for k, v in {"BLADESIM_BOARD_FILES": work, "BLADESIM_ERASESIZE": str(erase),
                 "BLADESIM_TIME_SCALE": "0",
                 "ASAN_OPTIONS": "verify_asan_link_order=0"}.items():
        cmd += ["--setenv", k, v]
    return cmd + ["--", "env", f"LD_PRELOAD={os.path.abspath(library)}", *program]

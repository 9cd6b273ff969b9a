# SPDX-License-Identifier: MIT
"""bladesim's commands: each takes its parsed arguments and does one thing to a board."""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time

from . import boot, console, guard, report, sandbox, sysbuild
from .boardfiles import (Board, Failure, app_archive, build_package, die, host_tool, new_board,
                         ppc_tool, version_word)
from .description import EEPROM_SIZE, ENV_WINDOW, MAGIC, fault_help
from .lab import (LAB_DHCP_RANGE, LAB_HOST, LAB_NETMASK, LAB_PORT_ADDRESS, LAB_SERVER,
                  board_lease, in_namespace, lab_namespace)


def opened(path):
    """The board at PATH, with whatever a boot killed outright left undone completed."""
    board = Board(path).check()
    guard.settle(board)
    return board


def cmd_new(args):
    board = new_board(args.board, "system" if args.system else "preload", args.ppc)
    print(f"board ready at {board.path}")


def warn_env_window(board):
    for item in board.env_beyond_window():
        print(f"bladesim: warning: {item.split('=', 1)[0]} lies past the {ENV_WINDOW} bytes "
              "the launcher reads", file=sys.stderr)


def cmd_env(args):
    board = opened(args.board)
    if not args.settings and not args.clear:
        for s in board.read_env():
            print(s)
        warn_env_window(board)
        return
    board.check_idle()
    settings = [] if args.clear else board.read_env()
    for item in args.settings:
        if "=" not in item:
            die(f"setting {item!r} is not NAME=VALUE")
        name, value = item.split("=", 1)
        settings = [s for s in settings if s.split("=", 1)[0] != name]
        if value != "":
            settings.append(item)
    board.write_env(settings)
    warn_env_window(board)


def number(text, what):
    try:
        return int(text, 0)
    except ValueError:
        die(f"{what} {text!r} is not a number (decimal, or 0x for hexadecimal)")


def cmd_eeprom(args):
    board = opened(args.board)
    data = board.eeprom()
    if args.offset is None:
        for row in range(0, len(data), 16):
            print(f"{row:02x}: " + " ".join(f"{b:02x}" for b in data[row:row + 16]))
        return
    offset = number(args.offset, "offset")
    if not 0 <= offset < EEPROM_SIZE:
        die(f"offset {offset} is outside the EEPROM (0..{EEPROM_SIZE - 1})")
    if args.value is None:
        print(data[offset])
        return
    value = number(args.value, "value")
    if not 0 <= value <= 255:
        die(f"value {value} is not a byte")
    board.check_idle().set_eeprom(offset, value)


def cmd_journal(args):
    board = opened(args.board)
    with open(board.journal) as f:
        lines = f.readlines()
    if args.last:
        starts = [i for i, line in enumerate(lines) if '"event": "boot"' in line]
        if starts:
            lines = lines[starts[-1]:]
    sys.stdout.write("".join(lines))


def cmd_fault(args):
    board = opened(args.board).check_idle()
    cfg = board.config()
    faults = [] if args.clear else cfg.get("faults", [])
    boot.check_faults(args.faults, board.kind())
    for f in args.faults:
        if f not in faults:
            faults.append(f)
    cfg["faults"] = faults
    board.save_config(cfg)
    print("faults: " + (", ".join(faults) if faults else "none"))


def readable(path):
    if not os.path.exists(path) or os.path.isdir(path) or not os.access(path, os.R_OK):
        die(f"cannot read {path}: no such file" if not os.path.exists(path) else
            f"cannot read {path}")
    return path


def cmd_slot(args):
    board = opened(args.board).check_idle()
    if args.slot not in (1, 2):
        die("the image slot is 1 or 2")
    dest = board.slot(args.slot)
    if args.package == "-":
        if os.path.exists(dest):
            os.unlink(dest)
        return
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copyfile(readable(args.package), dest + ".part")
    os.replace(dest + ".part", dest)


def cmd_rescue(args):
    board = opened(args.board).check_idle()
    with open(readable(args.component), "rb") as f:
        data = f.read()
    board.erase_partition("rescue")
    board.write_partition("rescue", data)


def cmd_pack(args):
    """Builds a package from application or diagnostics archives made on the fly."""
    with tempfile.TemporaryDirectory() as work:
        comps = []
        for i, item in enumerate(args.components):
            ctype, version, src = (item.split(":", 2) + ["", ""])[:3]
            if ctype not in MAGIC:
                die(f"unknown component type {ctype!r} in {item!r} (one of {', '.join(MAGIC)})")
            version_word(version)
            if ctype not in ("app", "diags") and not src:
                die(f"{item!r} names no file: only app and diags get a demo archive")
            if src and src != "demo":
                readable(src)
            if ctype in ("app", "diags") and src in ("", "demo"):
                src = os.path.join(work, f"{i}.tar.gz")
                app_archive(src, version, diags=(ctype == "diags"), ppc=args.ppc)
            comps.append((ctype, version, src))
        build_package(args.out, comps)


def cmd_lab(args):
    board = opened(args.board)
    print(f"port address   {LAB_PORT_ADDRESS}   (IP addr    :)")
    print(f"netmask        {LAB_NETMASK}   (Netmask    :)")
    print(f"gateway        {LAB_HOST}   (Gateway    :)")
    print(f"TFTP server    {LAB_SERVER}       (Server addr:)")
    print(f"TFTP directory {board.p('tftp')}")
    print(f"DHCP range     {LAB_DHCP_RANGE[0]} - {LAB_DHCP_RANGE[1]}")
    lease = board_lease(board)
    print(f"DHCP lease     {lease or 'none yet (the board has not asked)'}")
    port = report.launcher_options(board)["gdbport"]
    target = f"{lease or LAB_PORT_ADDRESS}:{port}"
    print(f"attach gdb     bladesim exec --lab {board.path} -- gdb -ex 'target remote {target}'")


def cmd_show(args):
    report.show(opened(args.board), args.json)


def cmd_timeline(args):
    report.timeline(opened(args.board), args.output, args.json)


def cmd_exec(args):
    """Runs a command inside a running board's mount and network namespaces."""
    board = opened(args.board)
    if board.kind() == "system" and not args.lab:
        die("a system board is a whole machine: its shell is the console's (shell=on), "
            "not bladesim exec")
    deadline = time.time() + args.wait
    while not os.path.exists(board.p("sandbox.json")):
        if time.time() > deadline:
            die(f"{board.path} is not running")
        time.sleep(0.05)
    with open(board.p("sandbox.json")) as f:
        pid = json.load(f)["pid"]
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        die("no command given")
    if args.lab:
        os.execvp("nsenter", in_namespace(lab_namespace(board), *command))
    os.execvp("nsenter", ["nsenter", "-t", str(pid), "-m", "-n", "-r", "-w", "--", *command])


def cmd_devices(args):
    """A program on the device library alone, over a scratch board of its own."""
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        die("no program given")
    library = args.library or host_tool(os.path.join("sim", "libbladesim.so"), "device library")
    with tempfile.TemporaryDirectory(prefix="bladesim-devices-") as work:
        return subprocess.run(sandbox.devices_command(work, library, command, args.erase,
                                                      args.blocks)).returncode


def cmd_build(_args):
    launcher = ppc_tool(os.path.join("src", "bladeboot"), "PowerPC launcher")
    try:
        initrd, kdir = sysbuild.initramfs(launcher)
    except sysbuild.BuildError as e:
        die(str(e))
    print(f"kernel    {os.path.join(kdir, 'vmlinux')}\ninitramfs {initrd}")


def check_line(board, speed):
    """sx sends 8N1 at the speed it is told: on a line set otherwise every byte would
    arrive garbled, so nothing is sent."""
    if board.kind() == "system":
        # The guest says how it set its UART (8 data bits, no parity).
        guest, settings = console.GuestLine(board.p("run", "events"), board.baudrate()), None
        if board.booting() and os.path.exists(guest.events):
            lines = [s for event, s in guest() if event == "line"]
            settings = "%d 8 none %d" % (lines[-1] if lines else guest.settings)
    else:
        settings = console.ask(board.p("run", "line.sock"), "get")
    if not settings:
        die(f"{board.path} is not booting on its console (bladesim boot {board.path})")
    baud, bits, parity, stop = settings.split()
    wrong = []
    if int(baud) != speed:
        wrong.append(f"{baud} baud")
    if bits != "8":
        wrong.append(f"{bits} data bits")
    if parity != "none":
        wrong.append(f"{parity} parity")
    if stop != "1":
        wrong.append(f"{stop} stop bits")
    if wrong:
        die(f"the console line is set to {', '.join(wrong)}; sx sends {speed} baud 8N1: "
            "nothing sent")


def cmd_send(args):
    """XMODEM-1K into a booting board's console, by Debian's stock sx."""
    board = opened(args.board)
    path = readable(args.file)
    check_line(board, args.speed)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(board.p("run", "send.sock"))
    except OSError:
        die(f"{board.path} is not booting on its console (bladesim boot {board.path})")
    with sock:
        rc = subprocess.run(["sx", "-k", path], stdin=sock, stdout=sock).returncode
    if rc == -signal.SIGINT:
        raise KeyboardInterrupt
    if rc != 0:
        die(f"sx ended with status {rc}: the file was not sent whole")
    return 0


def cmd_boot(args):
    return boot.boot(opened(args.board), args)


SYSTEM_HELP = """\
boards:
  A board made by `bladesim new` runs the launcher in a sandbox above an emulation of the
  blade's devices (--ppc: the PowerPC build under qemu-ppc). One made with --system is a
  whole machine: the PowerPC launcher on a real Linux kernel under qemu-system-ppc, with
  CFI flash, a JFFS2 /user, I2C EEPROMs and a 16550 console. Its kernel and root filesystem
  are built once from Debian's packages and cached in ~/.cache/bladesim (BLADESIM_CACHE).
  On a system board, env, eeprom, slot, rescue, show and lab work as on any board (they
  act between boots); fault takes only the faults marked for system boards; exec needs the
  lab (--lab), as the machine has no namespaces of bladesim's; --time-scale scales the
  launcher's own pauses only (the kernel, drivers and programs keep real time).

console:
  On a board's console, Ctrl-] then q ends the boot; Ctrl-] twice sends one Ctrl-].
  Ctrl-C goes to the launcher. `bladesim send BOARD FILE` sends a file by XMODEM-1K with
  Debian's sx into the console of the booting board.

exit status of boot:
  0 application, 3 reboot, 4 power cut, 5 the launcher exited, 6 the application failed,
  7 stopped from outside (signal or the console's escape).
"""


def parser():
    ap = argparse.ArgumentParser(prog="bladesim",
                                 description="a simulated blade on which the real bladeboot "
                                             "boots, rescues and breaks",
                                 epilog=SYSTEM_HELP,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)

    def command(name, func, help_text, **kw):
        p = sub.add_parser(name, help=help_text, **kw)
        p.set_defaults(func=func)
        return p

    p = command("new", cmd_new, "make a board with the default installation")
    p.add_argument("board")
    p.add_argument("--system", action="store_true",
                   help="a whole machine: the PowerPC launcher on Linux under qemu-system-ppc")
    p.add_argument("--ppc", action="store_true",
                   help="the demo application and diagnostics are PowerPC programs")

    p = command("env", cmd_env, "print or change the boot environment")
    p.add_argument("board")
    p.add_argument("settings", nargs="*", help="NAME=VALUE (NAME= removes NAME)")
    p.add_argument("--clear", action="store_true", help="start from an empty environment")

    p = command("eeprom", cmd_eeprom, "read or write VPD EEPROM bytes")
    p.add_argument("board")
    p.add_argument("offset", nargs="?")
    p.add_argument("value", nargs="?")

    p = command("journal", cmd_journal, "print the journal (JSON lines)")
    p.add_argument("board")
    p.add_argument("--last", action="store_true", help="only the last boot")

    p = command("fault", cmd_fault, "set faults for the following boots", epilog=fault_help(),
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("board")
    p.add_argument("faults", nargs="*", help="faults, as listed below")
    p.add_argument("--clear", action="store_true")

    p = command("slot", cmd_slot, "place a package in image slot 1 or 2 ('-' empties it)")
    p.add_argument("board")
    p.add_argument("slot", type=int)
    p.add_argument("package")

    p = command("rescue", cmd_rescue, "place a component in the rescue partition")
    p.add_argument("board")
    p.add_argument("component")

    p = command("pack", cmd_pack, "build a package; app/diags with no file get a demo archive")
    p.add_argument("out")
    p.add_argument("components", nargs="+", help="TYPE:VERSION[:FILE]")
    p.add_argument("--ppc", action="store_true", help="demo archives carry PowerPC programs")

    p = command("lab", cmd_lab, "the lab's addresses, to type at the rescue questions")
    p.add_argument("board")

    p = command("show", cmd_show, "decode a board: options, EEPROM, partitions, slots")
    p.add_argument("board")
    p.add_argument("--json", action="store_true", help="the same as one JSON object")

    p = command("timeline", cmd_timeline, "the last boot drawn as an SVG")
    p.add_argument("board")
    p.add_argument("-o", "--output", help="the SVG file (default: standard output)")
    p.add_argument("--json", action="store_true", help="the marks and their times as JSON")

    p = command("exec", cmd_exec, "run a command inside a running board's namespaces")
    p.add_argument("board")
    p.add_argument("--wait", type=float, default=0, help="seconds to wait for the board to run")
    p.add_argument("--lab", action="store_true", help="in the lab namespace instead")
    p.add_argument("command", nargs=argparse.REMAINDER)


    p = command("devices", cmd_devices, "run a program on the device library alone, over a "
                                        "scratch board (flash, I2C, CPLD, /user) of its own")
    p.add_argument("--library", help="the device library (default: the host build's)")
    p.add_argument("--erase", type=int, default=4096, help="erase block size (default 4096)")
    p.add_argument("--blocks", type=int, default=16, help="erase blocks a partition (default 16)")
    p.add_argument("command", nargs=argparse.REMAINDER)

    command("build", cmd_build, "build the system board's kernel and root filesystem now "
                                "(they are cached)")

    p = command("send", cmd_send, "send a file by XMODEM-1K (stock sx) to the board's console")
    p.add_argument("board")
    p.add_argument("file")
    p.add_argument("--speed", type=int, default=115200,
                   help="the speed sx is set to (default 115200, the launcher's)")

    p = command("boot", cmd_boot, "boot bladeboot once on the board")
    p.add_argument("board")
    p.add_argument("--ppc", action="store_true", help="the big-endian build under qemu-ppc")
    p.add_argument("--time-scale", type=float, default=None,
                   help="factor for the launcher's pauses (default 1: real speed)")
    p.add_argument("--fault", action="append", default=[], help="a fault for this boot only")
    p.add_argument("--stderr", help="append the launcher's standard error to this file")
    p.add_argument("--image", help="a package placed at /tmp/image before the launcher starts")
    p.add_argument("--detach", action="store_true",
                   help="not on this terminal: the console only on the operator's "
                        "pseudo-terminal (run/tty) and the telnet port; Ctrl-C here ends the boot")
    p.add_argument("--telnet", type=int, metavar="PORT",
                   help="the console server's telnet port on 127.0.0.1 (default: a free one)")
    p.add_argument("--after", metavar="SCRIPT",
                   help="system board: a shell script the guest runs once the launcher has "
                        "ended, for the figures; `phases time NAME COMMAND` there journals "
                        "a floor step")
    return ap


def main():
    args = parser().parse_args()
    saved = termios.tcgetattr(0) if os.isatty(0) else None
    try:
        sys.exit(args.func(args) or 0)
    except KeyboardInterrupt:
        # Ctrl-C: what the command started has had the same signal; nothing half-made stays
        # (the caches and boards are renamed into place whole).
        if saved is not None:
            termios.tcsetattr(0, termios.TCSANOW, saved)
        print("", file=sys.stderr)
        sys.exit(130)
    except Failure as e:
        print(f"bladesim: {e}", file=sys.stderr)
        sys.exit(e.code)
    except BrokenPipeError:
        # The reader went away (bladesim journal BOARD | head): no traceback for that.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
    except OSError as e:
        # A file that is not there or cannot be read or written: said, not a traceback.
        if e.errno is None:
            raise
        where = f" {e.filename}" if e.filename else ""
        print(f"bladesim: cannot use{where}: {e.strerror}", file=sys.stderr)
        sys.exit(1)


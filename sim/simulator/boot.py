# SPDX-License-Identifier: MIT
"""One boot of a board of either kind: the preload board's launcher in its sandbox, or the
system board's whole machine under qemu-system-ppc; the console line relayed to the
operator's terminal; and one reading of how the boot ended."""
import fcntl
import functools
import json
import os
import shutil
import signal
import socket
import subprocess
import termios
import threading
import time
import tty

from . import console, guard, sysboard, sysbuild
from .boardfiles import die, journal_append, ppc_tool
from .description import (CONSOLE_BAUD, EEPROM_BUS, FAULT, I2C, PARTITIONS, fault_kinds,
                          fault_row)
from .lab import Lab, in_namespace
from .sandbox import sandbox_command

# How `bladesim boot` exits, by how the boot ended.
EXIT_CODES = {"application": 0, "reboot": 3, "power-cut": 4, "exit": 5,
              "application-failed": 6, "stopped": 7}


def events_since(board, offset):
    with open(board.journal) as f:
        f.seek(offset)
        out = []
        for line in f:
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
        return out


def check_faults(faults, kind):
    """Refuses a fault the board's kind does not take."""
    for f in faults:
        row = fault_row(f)
        if row is None:
            die(f"unknown fault {f!r} (see bladesim fault --help)")
        if kind not in fault_kinds(row):
            die(f"fault {f!r} cannot be set on a {kind} board: it acts on "
                f"{', '.join(fault_kinds(row))} boards only")
    return faults


def classify(stopped_by, cut, rebooted, launched, ok, how, reboot_how=True):
    """How a boot ended, and bladesim's closing line for it."""
    if stopped_by:
        return "stopped", f"bladesim: boot stopped by {stopped_by}"
    if cut:
        return "power-cut", "bladesim: power cut"
    if rebooted:
        return "reboot", "bladesim: board rebooted" + (f" ({how})" if reboot_how else "")
    if launched:
        return ("application" if ok else "application-failed"), \
            f"bladesim: application ended ({how})"
    return "exit", f"bladesim: bladeboot exited ({how})"


def journal_guest(board, events, started):
    """The guest's phases (seconds since its kernel started, drawn from the boot's start)
    and what an --after script timed, into the journal."""
    for line in events:
        words = line.split()
        if len(words) != 3 or words[0] not in ("phase", "floor"):
            continue
        try:
            seconds = float(words[2])
        except ValueError:
            continue
        if words[0] == "phase":
            journal_append(board, "phase", {"name": words[1], "uptime": seconds},
                           t=started + seconds)
        else:
            journal_append(board, "floor", {"step": words[1], "seconds": seconds})


def end_boot(board, ending, status, line, stopped_by=None):
    journal_append(board, "end", {"ending": ending, "status": status})
    try:
        print(line, flush=True)
    except OSError:
        pass  # nobody is reading any more
    # Ctrl-C ends a detached boot as it ends any command.
    return 130 if stopped_by == "SIGINT" else EXIT_CODES[ending]


def line_speed(baud):
    return getattr(termios, f"B{baud}", None)


def boot_loader_line(board, attrs):
    """The console line as the boot loader leaves it: the environment's speed (the board's
    console speed by default), 8 data bits, no parity, one stop bit; the rest as the operator's terminal."""
    speed = line_speed(board.baudrate())
    attrs = list(attrs)
    attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB | termios.CSTOPB)) | termios.CS8
    attrs[4] = attrs[5] = speed or line_speed(CONSOLE_BAUD)
    return attrs


def restore_terminal(saved):
    if saved is not None:
        try:
            termios.tcsetattr(0, termios.TCSANOW, saved)
        except termios.error:
            pass  # the terminal is gone


def own_console():
    """In the sandbox's first process: a session whose controlling terminal is the board's
    line, so that the line's Ctrl-C reaches the launcher; the sandbox itself ignores it."""
    guard.dies_with_parent()
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def no_console():
    """A process of the boot without the board's line: Ctrl-C on the operator's terminal
    is not for it, and it ends with bladesim."""
    guard.dies_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def publish(path, text=None, link=None):
    """A file (or a symbolic link) under the board's run directory that appears whole."""
    part = path + ".part"
    if os.path.lexists(part):
        os.unlink(part)
    if link is not None:
        os.symlink(link, part)
    else:
        with open(part, "w") as f:
            f.write(text)
    os.replace(part, path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True once something listens on 127.0.0.1:PORT (the kernel's own table says so)."""
    want = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as f:
        return any(line.split()[1] == want and line.split()[3] == "0A"
                   for line in f.readlines()[1:])


class ConsoleServer:
    """The lab's console server for the board: Debian's ser2net in front of the operator's
    pseudo-terminal, on a telnet port of 127.0.0.1 (RFC 2217: a client's speed change
    reaches the pseudo-terminal, so the line). It opens the port when a client connects and
    lets go of it when the client leaves; a second client takes the console over."""

    def __init__(self, board, tty, baud, port=None):
        self.proc = None
        self.port = port or free_port()
        if not shutil.which("ser2net"):
            return
        conf = ("connection: &console#  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                f"{self.port}#  connector: serialdev,{tty},{baud}n81,local#  options:#"
                "    kickolduser: true")
        with open(board.p("run", "ser2net.log"), "wb") as log:
            self.proc = subprocess.Popen(["ser2net", "-n", "-u", "-P", board.p("run", "ser2net.pid"),
                                          "-Y", conf], stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log, preexec_fn=no_console)
        deadline = time.monotonic() + 30
        while not listening(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                die(f"the console server did not listen on port {self.port} "
                    f"(see {board.p('run', 'ser2net.log')})")
            time.sleep(0.01)
        publish(board.p("run", "telnet"), f"{self.port}\n")

    def close(self):
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait()
            self.proc = None


class Relay:
    """The console line relayed in a thread: to the operator's terminal (bladesim's own,
    unless the boot is detached) and to the operator's pseudo-terminal (run/tty) with the
    console server in front of it; a socket where `bladesim send` takes the line; Ctrl-] q
    on bladesim's terminal ends the boot."""

    def __init__(self, board, line, scale=None, terminal=(0, 1), board_settings=None,
                 telnet=None, guest=None):
        self.done, self.result, self.proc = threading.Event(), None, None
        self.journal = functools.partial(journal_append, board)
        self.senders = console.listen(board.p("run", "send.sock"))
        self.requests = self.uart = None
        if scale is not None:
            # A pseudo-terminal line: the relay is the blade's UART as well.
            self.uart = console.Uart(board.baudrate(), scale, self.journal)
            self.requests = console.listen(board.p("run", "line.sock"))
        self.port = console.Port(board.baudrate())
        publish(board.p("run", "tty"), link=self.port.path)
        self.server = ConsoleServer(board, self.port.path, board.baudrate(), telnet)
        self.thread = threading.Thread(target=self.run, args=(line, terminal, board_settings,
                                                              guest), daemon=True)
        self.thread.start()

    def announce(self, board):
        """Where an operator's terminal program or telnet client reaches the console."""
        where = f"bladesim: console on {self.port.path} ({board.p('run', 'tty')})"
        if self.server.proc is not None:
            where += f", telnet 127.0.0.1 {self.server.port}"
        print(where, flush=True)

    def run(self, line, terminal, board_settings, guest):
        self.result = console.relay(line, self.senders, self.done, terminal=terminal,
                                    uart=self.uart, requests=self.requests, port=self.port,
                                    board_settings=board_settings, guest=guest,
                                    journal=self.journal)
        if self.result == "escape" and self.proc is not None:
            self.proc.terminate()

    def close(self, drain=2.0):
        """Lets through what the board still wrote; True when the console's escape ended
        the boot."""
        self.thread.join(drain)
        self.done.set()
        self.thread.join()
        self.server.close()
        self.senders.close()
        if self.requests:
            self.requests.close()
        self.port.close()
        return self.result == "escape"


class BootStopped(Exception):
    def __init__(self, signal_name):
        super().__init__(signal_name)
        self.signal_name = signal_name


def stop_boot(signum, _frame):
    # One stop is enough: a second Ctrl-C or SIGTERM must not cut the ending short.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    raise BootStopped(signal.Signals(signum).name)


def record_sandbox(board, fd):
    """Keeps the running sandbox's process id where `bladesim exec` finds it."""
    with os.fdopen(fd, "rb") as f:
        data = f.read()
    try:
        pid = json.loads(data.decode())["child-pid"]
    except (ValueError, KeyError):
        return
    publish(board.p("sandbox.json"), json.dumps({"pid": pid}))


def boot(board, args):
    cfg = board.config()
    faults = check_faults(list(cfg.get("faults", [])) + args.fault, board.kind())
    if args.image and not os.path.isfile(args.image):
        die(f"cannot read {args.image}: no such file")
    if args.ppc:
        ppc_tool(os.path.join("src", "bladeboot"), "PowerPC bladeboot")
    held = guard.take_board(board)  # noqa: F841  (the lock lasts as long as the process)
    guard.recover(board)  # what an earlier boot whose bladesim was killed left undone
    saved_tty = termios.tcgetattr(0) if os.isatty(0) else None
    guard.mark_boot(board, board.kind())
    watchdog = guard.Watchdog(board, saved_tty)
    scale = args.time_scale
    if scale is None:
        scale = float(os.environ.get("BLADESIM_TIME_SCALE", cfg.get("time_scale", 1.0)))
    try:
        if board.kind() == "system":
            return boot_system(board, args, faults, scale, saved_tty)
        return boot_preload(board, args, faults, scale, saved_tty)
    finally:
        guard.unmark_boot(board)
        watchdog.done()


def boot_preload(board, args, faults, scale, saved_tty):
    if args.after:
        die("--after is for system boards: a preload board's figures are bench/boot_bench.py's")
    # The blade's /tmp is RAM: it starts empty at every boot.
    shutil.rmtree(board.p("tmp"), ignore_errors=True)
    os.makedirs(board.p("tmp"))
    if args.image:
        # As a download would have left it.
        shutil.copyfile(args.image, board.p("tmp", "image"))
    info_r, info_w = os.pipe()
    lab = Lab(board, faults)
    # On a terminal, or detached from one, the board gets a serial line of its own, which
    # bladesim relays: a pseudo-terminal that starts as the operator's terminal is set.
    terminal = os.isatty(0) and not args.detach
    line = slave = console_tty = None
    if terminal or args.detach:
        line, slave = os.openpty()
        base = termios.tcgetattr(0 if terminal else slave)
        termios.tcsetattr(slave, termios.TCSANOW, boot_loader_line(board, base))
        console_tty = os.ttyname(slave)
    cmd = sandbox_command(board, faults, args.ppc, scale, info_fd=info_w, console_tty=console_tty)
    start = os.path.getsize(board.journal)
    journal_append(board, "boot", {"build": "ppc" if args.ppc else "host",
                                   "faults": faults, "time_scale": scale})
    # Ctrl-C, Ctrl-\\ and Ctrl-Z on the console reach the launcher's own handling only. A
    # SIGTERM, or the console's hang-up (a closed terminal), ends the boot in order.
    # Detached, Ctrl-C on bladesim's terminal ends the boot.
    console_signals = (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP) if not args.detach else ()
    old = {sig: signal.signal(sig, signal.SIG_IGN) for sig in console_signals}
    for sig in (signal.SIGTERM, signal.SIGHUP) + ((signal.SIGINT,) if args.detach else ()):
        old[sig] = signal.signal(sig, stop_boot)
    proc = relay = stopped_by = None
    status = 0
    try:
        lab.start()
        cmd = in_namespace(lab.board_ns, *cmd)
        errors = open(args.stderr, "ab") if args.stderr else None
        if slave is None:
            proc = subprocess.Popen(cmd, pass_fds=(info_w,), stderr=errors, preexec_fn=no_console)
        else:
            relay = Relay(board, line, scale, terminal=(0, 1) if terminal else None,
                          telnet=args.telnet)
            relay.announce(board)
            if terminal:
                # Raw before the board can print: a key typed after its first prompt is a
                # key, never the terminal's own end of input or interrupt.
                tty.setraw(0)
            proc = relay.proc = subprocess.Popen(cmd, pass_fds=(info_w,), stdin=slave,
                                                 stdout=slave, stderr=errors or slave,
                                                 preexec_fn=own_console)
            os.close(slave)
            publish(board.p("run", "console"), console_tty)
        os.close(info_w)
        recorder = threading.Thread(target=record_sandbox, args=(board, info_r), daemon=True)
        recorder.start()
        status = proc.wait()
        recorder.join(timeout=5)
    except BootStopped as stop:
        stopped_by = stop.signal_name
        if proc is not None:
            proc.kill()  # the sandbox's PID namespace takes everything in it along
            status = proc.wait()
    finally:
        if relay is not None and relay.close():
            stopped_by = "the console's Ctrl-] q"
        if line is not None:
            os.close(line)
        lab.stop()
        try:
            os.unlink(board.p("sandbox.json"))
        except FileNotFoundError:
            pass
        for sig, action in old.items():
            signal.signal(sig, action)
        restore_terminal(saved_tty)
    events = [e["event"] for e in events_since(board, start)]
    how = f"killed by signal {-status}" if status < 0 else f"status {status}"
    # Only the launcher carries the journaling library, so an exec is the launcher's.
    ending, text = classify(stopped_by, "power-cut" in events, "reboot" in events,
                            "exec" in events, status == 0, how)
    return end_boot(board, ending, status, text, stopped_by)


def boot_system(board, args, faults, scale, saved_tty):
    cuts = [int(f.partition("@")[2]) for f in faults if f.startswith(FAULT["cut"] + "@")]
    launcher = ppc_tool(os.path.join("src", "bladeboot"), "PowerPC launcher")
    # The machine's console UART on a pseudo-terminal: QEMU sets on it the speed and
    # framing the guest gives its 16550, which the relay compares with the operator's.
    line, slave = os.openpty()
    tty.setraw(slave)
    try:
        cmd = sysboard.prepare(board, PARTITIONS, launcher, board.baudrate(), os.ttyname(slave),
                               args.image, faults, args.after, scale)
    except sysbuild.BuildError as e:
        die(str(e))
    guard.mark_flash(board)
    lab = Lab(board, faults, tap=True)
    started = time.time()
    journal_append(board, "boot", {"build": "system", "faults": faults, "time_scale": scale})
    stops = (signal.SIGTERM, signal.SIGHUP) + ((signal.SIGINT,) if args.detach else ())
    old = {sig: signal.signal(sig, stop_boot) for sig in stops}
    if not args.detach:
        old[signal.SIGINT] = signal.signal(signal.SIGINT, signal.SIG_IGN)
    terminal = saved_tty is not None and not args.detach
    proc, stopped_by, cut, failure, relay = None, None, False, None, None
    status = 0
    done = threading.Event()
    try:
        lab.start()
        guest = console.GuestLine(board.p("run", "events"), board.baudrate(),
                                  (EEPROM_BUS, I2C["eeprom"]))
        relay = Relay(board, line, terminal=(0, 1) if terminal else None,
                      board_settings=lambda: guest.settings, telnet=args.telnet, guest=guest)
        relay.announce(board)
        if terminal:
            tty.setraw(0)
        with open(board.p("run", "qemu.log"), "wb") as log:
            proc = relay.proc = subprocess.Popen(in_namespace(lab.lab_ns, *cmd),
                                                 stderr=log, stdin=subprocess.DEVNULL, stdout=log,
                                                 preexec_fn=no_console)
        # The flash watcher reads the machine's trace from its start: QEMU runs only as fast
        # as it is read.
        result = []
        watcher = threading.Thread(target=lambda: result.append(sysboard.watch_flash(
            board.p("run"), min(cuts) if cuts else None, proc, done)), daemon=True)
        watcher.start()
        status = proc.wait()
        done.set()
        watcher.join()
        cut = result == [True]
    except BootStopped as stop:
        stopped_by = stop.signal_name
        if proc is not None:
            proc.terminate()  # QEMU stops in order: its trace and flash are complete
            status = proc.wait()
    except sysbuild.BuildError as e:
        proc.kill()
        proc.wait()
        failure = str(e)
    finally:
        done.set()
        if relay is not None and relay.close():
            stopped_by = "the console's Ctrl-] q"
        os.close(slave)
        os.close(line)
        lab.stop()
        for sig, action in old.items():
            signal.signal(sig, action)
        restore_terminal(saved_tty)
    if failure:
        with open(board.p("run", "qemu.log"), errors="replace") as f:
            die(f"{failure}\n{f.read()[-2000:]}")
    events = sysboard.finish(board, PARTITIONS)
    journal_guest(board, events, started)
    exits = [int(e.split()[1]) for e in events if e.startswith("exit ")]
    how = f"status {exits[0] if exits else 'unknown'}"
    ending, text = classify(stopped_by, cut, "reboot" in events,
                            any(e.startswith("application") for e in events), exits == [0], how,
                            reboot_how=False)
    return end_boot(board, ending, status, text, stopped_by)

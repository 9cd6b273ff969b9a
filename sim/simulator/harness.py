# SPDX-License-Identifier: MIT
"""The operator's side of a board, for the scripts that drive one (the scenario tests and
the figures): bladesim's commands, a boot on a pseudo-terminal or detached, the console
typed at only once the board says the launcher reads it, the journal read back."""
import json
import os
import signal
import socket
import subprocess
import termios
import time

import pexpect

from .description import fault_kinds, fault_row

BLADESIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bladesim")

# The launcher's pauses a thousand times faster; the journal keeps the lengths.
TIME_SCALE = "0.001"

# Texts that mean the launcher or the simulation broke, whatever the test expects.
BROKEN = ["runtime error:", "AddressSanitizer", "LeakSanitizer", "Traceback (most recent",
          "bwrap:", "qemu: uncaught", "Segmentation fault"]


def sim(*args, check=True, **kw):
    r = subprocess.run(["/usr/bin/python3", BLADESIM, *args],
                       capture_output=True, text=True, **kw)
    if check and r.returncode != 0:
        raise AssertionError(f"bladesim {' '.join(args)} failed: {r.stderr}")
    return r


def board_processes(path):
    """What still runs for a board: anything started in its sandbox or holding its lab's
    network namespaces (they carry its BLADESIM_BOARD), or with its path on the command
    line (the lab's servers, QEMU). A namespace no process holds is gone."""
    mark = f"BLADESIM_BOARD={path}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as env, open(f"/proc/{pid}/cmdline", "rb") as cmd:
                line = cmd.read()
                if mark in env.read().split(b"\0") or path.encode() in line:
                    found.append(line.split(b"\0")[0].decode("latin-1"))
        except OSError:
            pass
    return found


class Board:
    def __init__(self, path, build):
        self.path = str(path)
        self.build = build
        self.detached = None
        self.children = []  # the operator's programs on terminals of their own

    def close(self):
        """Whatever of the test's boot still runs ends, even when the test failed."""
        for child in self.children:
            child.close(force=True)
        if self.detached and self.detached.poll() is None:
            self.detached.terminate()
            self.detached.communicate(timeout=60)

    def p(self, *parts):
        return os.path.join(self.path, *parts)

    def env(self, *settings):
        sim("env", self.path, *settings)

    def eeprom(self, offset, value=None):
        args = ["eeprom", self.path, str(offset)] + ([] if value is None else [str(value)])
        return int(sim(*args).stdout.strip() or 0)

    def takes(self, faults):
        """Skips the test when this board's kind does not take one of FAULTS: on a system
        board, a fault that only the preload board's device library injects."""
        kind = "system" if self.build == "system" else "preload"
        for f in faults:
            row = fault_row(f)
            if row and kind not in fault_kinds(row):
                import pytest
                pytest.skip(f"the fault {f} acts on {', '.join(fault_kinds(row))} boards only")

    def fault(self, *faults):
        self.takes(faults)
        sim("fault", self.path, *faults)

    def flash(self, part):
        with open(self.p("flash", f"{part}.bin"), "rb") as f:
            return f.read()

    def slot(self, n, package):
        """Places a package in image slot n; None empties the slot."""
        sim("slot", self.path, str(n), package or "-")

    def rescue(self, package):
        sim("rescue", self.path, str(package))

    def user(self, *parts):
        return os.path.join(self.path, "user", *parts)

    def tmp(self, *parts):
        return os.path.join(self.path, "tmp", *parts)

    def journal(self):
        """Events of the last boot, in order."""
        with open(self.p("journal.jsonl")) as f:
            events = [json.loads(line) for line in f if line.strip()]
        starts = [i for i, e in enumerate(events) if e["event"] == "boot"]
        return events[starts[-1]:] if starts else events

    def commands(self):
        return [e["command"] for e in self.journal() if e["event"] == "shell"]

    def pauses(self):
        return [e["seconds"] for e in self.journal() if e["event"] == "pause"]

    def run_file(self, name, timeout=30):
        """A file that bladesim puts in the board's run directory for this boot (each appears
        whole, a socket once it listens)."""
        path = self.p("run", name)
        deadline = time.time() + timeout
        while not (os.path.lexists(path) and os.lstat(path).st_mtime >= self.booted):
            assert time.time() < deadline, f"bladesim never made run/{name} for the boot"
            time.sleep(0.01)
        return path

    def _line(self):
        """The board's own serial line, once bladesim has made it for the boot."""
        with open(self.run_file("console")) as f:
            return os.open(f.read().strip(), os.O_RDWR | os.O_NOCTTY)

    def line_settings(self):
        """The board's serial line as the launcher has set it (a booting board), the
        framing as the UART holds it."""
        fd = self._line()
        try:
            attrs = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        _, bits, parity, stop = self.uart().split()
        attrs[2] &= ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB)
        attrs[2] |= getattr(termios, f"CS{bits}")
        attrs[2] |= {"none": 0, "even": termios.PARENB,
                     "odd": termios.PARENB | termios.PARODD}[parity]
        attrs[2] |= termios.CSTOPB if stop == "2" else 0
        return attrs

    def set_line(self, attrs):
        fd = self._line()
        try:
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        finally:
            os.close(fd)

    def uart(self, request="get"):
        """Asks the board's UART (the console relay), as the device library does."""
        path = self.run_file("line.sock")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(30)  # a relay that no longer answers fails the test
            sock.connect(path)
            sock.sendall(request.encode() + b"\n")
            return sock.makefile().readline().strip()

    def send(self, path, cancel_at=None):
        """A file down the console line by Debian's stock sx, through `bladesim send`;
        with CANCEL_AT, the operator interrupts sx once the board has that many bytes."""
        # The operator's Ctrl-C reaches sx even when these tests run in a background job,
        # which starts with it ignored.
        proc = subprocess.Popen(["/usr/bin/python3", BLADESIM, "send", self.path, str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        deadline = time.time() + 300
        while cancel_at and proc.poll() is None and time.time() < deadline:
            if os.path.exists(self.tmp("image")) and os.path.getsize(self.tmp("image")) >= cancel_at:
                os.killpg(proc.pid, signal.SIGINT)
                break
            time.sleep(0.01)
        out, _ = proc.communicate(timeout=300)
        return proc.returncode == 0, out.decode("latin-1")

    def boot(self, *extra, time_scale=TIME_SCALE, timeout=60, stderr=None, image=None,
             detach=False):
        """A boot with the console on bladesim's own terminal; DETACH: without one, the
        bladesim process (its output piped) for an operator's program to reach through
        run/tty or the telnet port."""
        self.takes([extra[i + 1] for i, a in enumerate(extra[:-1]) if a == "--fault"])
        args = [BLADESIM, "boot", self.path, *extra]
        args += ["--time-scale", str(time_scale)] if time_scale is not None else []
        if stderr:
            args += ["--stderr", str(stderr)]
        if image:
            args += ["--image", str(image)]
        if self.build == "ppc":
            args.append("--ppc")
        log = open(self.p("console.log"), "a")
        self.booted = time.time() - 1
        self.journal_at = os.path.getsize(self.p("journal.jsonl"))
        if detach:
            self.detached = subprocess.Popen(["/usr/bin/python3", *args, "--detach"],
                                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                             stderr=subprocess.STDOUT, text=True)
            return self.detached
        # The board's line starts with echo on, as the blade's serial console does: what
        # the console shows of a key is what the launcher's own settings make of it.
        child = pexpect.spawn("/usr/bin/python3", args, timeout=timeout, encoding="latin-1",
                              codec_errors="replace", dimensions=(50, 200), logfile=log)
        self.children.append(child)
        return Console(child, self)

    def terminal(self, *argv, timeout=60):
        """An operator's program (a terminal program or a telnet client) on a terminal of
        its own, once the detached boot has made the console it reaches."""
        self.run_file("telnet")
        log = open(self.p("console.log"), "a")
        child = pexpect.spawn(argv[0], list(argv[1:]), timeout=timeout, encoding="latin-1",
                              codec_errors="replace", dimensions=(50, 200), logfile=log)
        self.children.append(child)
        return Console(child, self)

    def ended(self, timeout=120):
        """bladesim's closing line for a detached boot."""
        out, _ = self.detached.communicate(timeout=timeout)
        for b in BROKEN:
            assert b not in out, out
        return [line for line in out.splitlines() if line.startswith("bladesim: ")][-1]

    def awaited(self, match, what, timeout=60):
        """Waits for the boot's next journal event that MATCH accepts; the journal is read on
        from the last event found."""
        deadline = time.time() + timeout
        while True:
            with open(self.p("journal.jsonl"), "rb") as f:
                f.seek(self.journal_at)
                for line in f:
                    if not line.endswith(b"\n"):
                        break
                    self.journal_at += len(line)
                    e = json.loads(line)
                    if match(e):
                        return e
            assert time.time() < deadline, f"the board never said {what}"
            time.sleep(0.005)

    def reading(self, after, timeout=60):
        """Waits until the launcher waits on its console for the operator, the last it
        printed ending with AFTER (the board journals each such read with what the line had
        carried by then)."""
        tail = after[-300:]
        self.awaited(lambda e: e["event"] == "read" and e["before"].endswith(tail),
                     f"the launcher read its console after {after!r}", timeout)

    def switched(self, baud, timeout=60):
        """Waits until the launcher has set its console line to BAUD."""
        self.awaited(lambda e: e["event"] == "line" and e["baud"] == baud,
                     f"the console line went to {baud} baud", timeout)


class Console:
    """The operator's side of the console; every wait also watches for breakage, and every
    key is typed once the board says the launcher reads the console."""

    def __init__(self, child, board):
        self.child = child
        self.board = board
        self.seen = ""
        self.last = ""  # the text of the last wait

    def expect(self, text, timeout=None):
        patterns = [text] + BROKEN
        i = self.child.expect_exact(patterns, timeout=timeout or self.child.timeout)
        self.seen += self.child.before + self.child.after
        self.last = text
        if i != 0:
            rest = self.child.read_nonblocking(4000, timeout=1) if self.child.isalive() else ""
            raise AssertionError(f"broken: {patterns[i]!r}\n{self.seen}{rest}")
        return self.child.before

    def send(self, text):
        self.child.send(text)

    def reading(self):
        """Once the launcher reads the console after the text of the last wait: what comes
        before that is typed-ahead, which every question discards."""
        self.board.reading(self.last)

    def answer(self, prompt, text):
        """Waits for a prompt and for the launcher's read after it, and types the answer."""
        before = self.expect(prompt)
        self.reading()
        self.child.send(text)
        return before

    def end_input(self):
        """The console's end of input once the launcher reads after what it last printed."""
        self.reading()
        self.child.sendeof()

    def interrupt(self):
        """Ctrl-C once the launcher reads after what it last printed."""
        self.reading()
        self.child.sendintr()

    def menu(self, key):
        self.answer("Option? : ", key)

    def tftp_rescue(self, address, netmask, gateway, server, name=None):
        """Option T with its questions answered in turn, empty answers as a bare Enter;
        without NAME, up to the file name question."""
        self.menu("T")
        for prompt, text in (("IP addr    :", address), ("Netmask    :", netmask),
                             ("Gateway    :", gateway), ("Server addr:", server)):
            self.answer(prompt, text + "\r")
        if name is None:
            self.expect("Image Filename: ")
        else:
            self.answer("Image Filename: ", name + "\r")

    def finish(self, timeout=None):
        """Reads to the end of the boot and returns bladesim's closing line."""
        self.child.expect(pexpect.EOF, timeout=timeout or self.child.timeout)
        self.seen += self.child.before
        for b in BROKEN:
            assert b not in self.seen, self.seen
        text = self.seen.replace("\r", "")
        at = text.rfind("bladesim: ")
        assert at >= 0, f"no closing line from bladesim:\n{text}"
        return text[at:].split("\n")[0]

    def output(self):
        return self.seen.replace("\r\n", "\n")

# SPDX-License-Identifier: MIT
"""The console line of a booting board: the operator's terminal on one end, the board's
serial console on the other (a pseudo-terminal's master for a preload board, QEMU's
socket for a system board). A sender (`bladesim send`) takes the line while it is
connected; Ctrl-] then q, each typed on its own, ends the boot.

On a preload board the relay is also the blade's UART (`Uart`): the device library asks
it to drain, to flush the output queue, and to set or report the line's speed, character
size, parity and stop bits, which a pseudo-terminal cannot hold. Requests come one per
connection to the line socket, a line each: "drain", "flush", "get", "set BAUD BITS
PARITY STOP", and "read wait" or "read poll" before the launcher reads the console for the
operator (a read that blocks, or one poll of a non-blocking one); every answer is one
line."""
import ctypes
import fcntl
import os
import re
import select
import socket
import struct
import termios
import time
from collections import deque

ESCAPE = 0x1D  # Ctrl-]
# However fast the board's time runs, output stays this long in the UART's queue, so that
# a flush right after a write finds it there, as it would at 9600 baud.
UART_LATENCY = 0.01
# Ctrl-] is the console's escape only when a person typed it: alone, after a quiet spell
# and followed by one; inside a burst of bytes (a file a terminal program sends) it is data.
QUIET_BEFORE = 0.2
QUIET_AFTER = 0.05


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


class Escape:
    """The operator's bytes for the line, with the console's escape taken out: Ctrl-] that
    arrives alone, with nothing just before it and nothing within a moment after it, arms
    the escape; then q ends the boot and a second Ctrl-] sends one Ctrl-]. Any other
    Ctrl-] is data and passes unaltered."""

    def __init__(self):
        self.last = 0.0  # when the operator's last bytes arrived
        self.held = None  # when a lone Ctrl-] arrived, while the moment after it runs
        self.armed = False

    def timeout(self, now):
        return None if self.held is None else max(0.0, self.held + QUIET_AFTER - now)

    def tick(self, now):
        """A held Ctrl-] that nothing followed within the moment arms the escape."""
        if self.held is not None and now >= self.held + QUIET_AFTER:
            self.held, self.armed = None, True

    def take(self, data, now):
        """The bytes for the line; None when the escape ends the boot."""
        quiet = now - self.last >= QUIET_BEFORE
        self.last = now
        if self.held is not None:  # more came at once: the Ctrl-] was data
            self.held = None
            return bytes([ESCAPE]) + data
        if self.armed:
            self.armed = False
            if data in (b"q", b"Q"):
                return None
            return data if data == bytes([ESCAPE]) else bytes([ESCAPE]) + data
        if data == bytes([ESCAPE]) and quiet:
            self.held = now
            return b""
        return data


def read_some(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # a pseudo-terminal whose other side is all closed
        return b""


def garble(data):
    """What a terminal shows of bytes sent at another speed or framing than its own."""
    return bytes(0x80 | (b >> 1) for b in data)


def text(data):
    return data.decode("latin-1")


class Uart:
    """The blade's UART: what the board writes waits in a queue for the time the line's
    speed takes to send it (scaled with the board's time, never less than UART_LATENCY),
    and what comes in arrives at the same pace; a flush of the output discards what is still
    queued, and bytes queued when the speed or framing changes go out garbled.
    JOURNAL(event, fields) records discards and changes of the line."""

    def __init__(self, baud, scale, journal):
        self.settings = (baud, 8, "none", 1)
        self.scale, self.journal = scale, journal
        self.queue = deque()  # [release time, bytes, garbled]
        self.free_at = 0.0
        self.sent = b""  # the last of what went out, for the journal
        # What comes into the board at the line's pace: [when it has all come in, bytes].
        # A write arrives whole once the line has had the time to carry it: the blade's
        # launcher takes each byte faster than a line can bring the next.
        self.incoming = deque()
        self.in_free_at = 0.0
        # Bytes the board wrote and bytes it was given, when it last said it reads: a poll
        # that finds the line as the last one did is the same wait.
        self.written = self.given = 0
        self.read_mark = None
        self.reading = None  # a blocking read asked about, journaled once the reader waits in it

    def take_input(self, data, now):
        start = max(now, self.in_free_at)
        self.in_free_at = start + len(data) * 10 / self.settings[0] * self.scale
        self.incoming.append([self.in_free_at, data])

    def input_due(self, now):
        """The bytes that have come in over the line by NOW."""
        out = b""
        while self.incoming and self.incoming[0][0] <= now:
            out += self.incoming.popleft()[1]
        self.given += len(out)
        return out

    def input_timeout(self, now):
        return max(0.0, self.incoming[0][0] - now) if self.incoming else None

    def read_event(self):
        """The launcher reads the console after all the line has carried: the journal's
        fields for it, or None when the line is as at the last read (a poll again)."""
        if self.read_mark == (self.written, self.given):
            return None
        self.read_mark = (self.written, self.given)
        return {"before": text((self.sent + self.queued())[-400:])}

    def take(self, data, now):
        self.written += len(data)
        start = max(now, self.free_at)
        self.free_at = start + len(data) * 10 / self.settings[0] * self.scale
        self.queue.append([max(self.free_at, now + UART_LATENCY), data, False])

    def due(self, now):
        out = b""
        while self.queue and self.queue[0][0] <= now:
            _, data, garbled = self.queue.popleft()
            out += garble(data) if garbled else data
            self.went_out(data)
        return out

    def went_out(self, data):
        self.sent = (self.sent + data)[-400:]

    def timeout(self, now):
        return max(0.0, self.queue[0][0] - now) if self.queue else None

    def queued(self):
        return b"".join(entry[1] for entry in self.queue)

    def flush(self):
        if self.queue:
            self.journal("line-discard", {"text": text(self.queued())})
        self.queue.clear()
        self.free_at = 0.0

    def set(self, settings):
        if settings == self.settings:
            return
        for entry in self.queue:
            entry[2] = True
        self.journal("line", {"baud": settings[0], "bits": settings[1], "parity": settings[2],
                              "stop": settings[3], "before": text(self.sent),
                              "garbled": text(self.queued())})
        self.settings = settings

    def answer(self, request):
        """The answer to REQUEST; None for a drain that must wait for the queue."""
        words = request.split()
        if words == ["drain"]:
            return None if self.queue else "ok"
        if words == ["flush"]:
            self.flush()
            return "ok"
        if words == ["get"]:
            return " ".join(str(s) for s in self.settings)
        if words in (["read", "wait"], ["read", "poll"]):
            self.reading = self.read_event()
            if words[1] == "poll" and self.reading:
                self.journal("read", self.reading)
                self.reading = None
            return "ok"
        if len(words) == 5 and words[0] == "set" and words[3] in ("none", "even", "odd"):
            try:
                settings = (int(words[1]), int(words[2]), words[3], int(words[4]))
            except ValueError:
                return "error"
            if settings[0] > 0 and 5 <= settings[1] <= 8 and settings[3] in (1, 2):
                self.set(settings)
                return "ok"
        return "error"


def read_request(conn):
    conn.settimeout(1.0)
    data = b""
    try:
        while not data.endswith(b"\n"):
            part = conn.recv(64)
            if not part or len(data) > 256:
                break
            data += part
    except OSError:
        pass
    return text(data).strip()


def reply(conn, answer):
    try:
        conn.sendall(answer.encode() + b"\n")
    except OSError:
        pass
    conn.close()


def read_ready(fd):
    """All the board has written and the relay has not read yet."""
    out = b""
    while select.select([fd], [], [], 0)[0]:
        data = read_some(fd)
        if not data:
            break
        out += data
    return out


class Port:
    """The operator's end of the console line: a pseudo-terminal that a terminal program
    (picocom, minicom, screen, tio) or the console server opens as the serial device it is.
    The speed and stop bits set on it are the operator's side of the line: when they
    differ from the board's, each side sees the other's bytes garbled. While nothing has it
    open, what the board says is lost, as on a line with nobody at its other end."""

    def __init__(self, baud):
        self.master, slave = os.openpty()
        attrs = termios.tcgetattr(slave)
        attrs[0] = attrs[1] = attrs[3] = 0  # raw, as a serial device is before it is set
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[4] = attrs[5] = getattr(termios, f"B{baud}")
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)
        self.poller = select.poll()
        self.poller.register(self.master, select.POLLIN)

    def attached(self):
        return not any(ev & select.POLLHUP for _, ev in self.poller.poll(0))

    def settings(self):
        return line_settings(self.master)

    def write(self, data):
        try:
            os.write(self.master, data)
        except OSError:  # nobody there, or a reader that does not keep up: bytes lost
            pass

    def close(self, drain=5.0):
        """Ends the line. Closing the master hangs the terminal's side up, and the kernel
        drops what it has not read yet: the board's last words, still on a real line's
        screen. So the terminal program first reads what it was sent: each of its reads is
        an access event on the terminal, and the port waits on those until nothing is left
        unread (for at most DRAIN seconds: one that does not read loses it)."""
        deadline = time.monotonic() + drain
        reads = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC) if self.attached() else -1
        try:
            watched = reads >= 0 and LIBC.inotify_add_watch(
                reads, os.fsencode(self.path), IN_ACCESS) >= 0
            if watched:
                slave = os.open(self.path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
                try:
                    while unread(slave) and select.select(
                            [reads], [], [], max(0.0, deadline - time.monotonic()))[0]:
                        os.read(reads, 4096)
                finally:
                    os.close(slave)
        except OSError:  # the terminal went away meanwhile
            pass
        finally:
            if reads >= 0:
                os.close(reads)
            os.close(self.master)


def unread(fd):
    """Bytes waiting on a terminal for its reader."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


LIBC = ctypes.CDLL(None, use_errno=True)
IN_ACCESS = 0x1  # inotify: the file was read

SPEEDS = {getattr(termios, f"B{b}"): b for b in
          (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}


def line_settings(fd):
    """The speed and stop bits a terminal line is set to (a pseudo-terminal holds no other
    framing): what either end of the line compares."""
    attrs = termios.tcgetattr(fd)
    return SPEEDS.get(attrs[5], 0), 2 if attrs[2] & termios.CSTOPB else 1


class GuestLine:
    """A system board's words, from the guest's event line (the file run/events) as they
    come, as the preload board journals the same: the speed and stop bits the guest sets
    on its UART ("line BAUD STOP": QEMU's own model of the divisor is no measure of it),
    each wait of the launcher in a read of the console ("read TX RX"), its pauses, shell
    commands and exec, and the EEPROM bytes it changed (the guest's watcher sees a change,
    not a write of the value a byte holds)."""

    def __init__(self, events, baud, eeprom=(0, 0)):
        self.events, self.at, self.rest = events, 0, b""
        self.settings = (baud, 1)
        self.eeprom = eeprom  # its bus and address

    def journaled(self, line):
        """The journal event for one of the guest's lines, or None."""
        words = line.split()
        what, rest = words[0], words[1:]
        if what == b"pause" and len(rest) == 1:
            return "pause", {"seconds": float(rest[0])}
        if what == b"shell":
            said = line.split(b" ", 1)[1] if b" " in line else b""
            return "shell", {"command": re.sub(rb"\\(.)", lambda m: b"\n" if m[1] == b"n"
                                               else m[1], said).decode("latin-1")}
        if what == b"exec":
            argv = [w.decode("latin-1") for w in rest]
            return "exec", {"path": argv[0] if argv else "", "argv": argv}
        if what == b"eeprom" and len(rest) == 2 and rest[0].isdigit() and rest[1].isdigit():
            return "i2c", {"bus": self.eeprom[0], "address": self.eeprom[1], "op": "write",
                           "command": int(rest[0]), "value": int(rest[1]), "result": 0}
        if what == b"reboot":
            return "reboot", {}
        return None

    def __call__(self):
        """The guest's new words, in order: ("line", (baud, stop)), ("read", bytes the
        UART received), or (event, fields) for the journal."""
        with open(self.events, "rb") as f:
            f.seek(self.at)
            data = f.read()
        self.at += len(data)
        lines = (self.rest + data).split(b"\n")
        self.rest = lines.pop()
        said = []
        for line in lines:
            words = line.split()
            if len(words) == 3 and words[0] == b"line" and words[1].isdigit():
                # Taken as the line's settings by whoever reads on: what the guest wrote
                # before may still be on its way, at the old ones.
                said.append(("line", (int(words[1]), int(words[2]))))
            elif len(words) == 3 and words[0] == b"read" and words[2].isdigit():
                said.append(("read", int(words[2])))  # with what its UART has received
            elif words and (event := self.journaled(line)):
                said.append(event)
        return said


# The host's number for read(2), as /proc/PID/syscall shows it (qemu-user's guests read
# through the host's own call).
READ_SYSCALL = {"x86_64": "0", "aarch64": "63", "i686": "3", "ppc64le": "3"}.get(os.uname().machine)

# A system board's input reaches the guest in pieces of this size, each once the line has
# carried it: a long send (an XMODEM block) is taken in while its rest is still on the
# line, as by a real receiver. A typed answer comes whole: on the blade it is all on the
# line before the launcher's next question has left it and the launcher discards what was
# typed ahead, while QEMU's transmitter sends at once and the guest's tcdrain never waits.
PACED_PIECE = 64


def waits_in_read(pid):
    """True when process PID is blocked in read(2): a signal now interrupts that read."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            return f.read().split()[:1] == [READ_SYSCALL]
    except OSError:
        return False


def peer_pid(conn):
    return struct.unpack("3i", conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                               struct.calcsize("3i")))[0]


def relay(line, listener, stop, terminal=(0, 1), uart=None, requests=None, port=None,
          board_settings=None, guest=None, journal=None):
    """Copies bytes until the line closes ("closed"), STOP is set ("stopped") or the
    operator types Ctrl-] q on TERMINAL ("escape"). LINE is a descriptor, LISTENER a socket;
    with a Uart, REQUESTS is the socket of the device library's line requests. TERMINAL
    (input and output descriptors, or None) follows the line's speed; PORT, the operator's
    pseudo-terminal, has a speed of its own, compared with BOARD_SETTINGS() (speed, stop
    bits), or with the Uart's. Without a Uart, GUEST() gives the board's new words about its
    line, each journaled as a Uart does."""
    sender, escape = None, Escape()
    reading = terminal is not None
    drains, closed = [], False
    carried = b""  # the last of what the board wrote, without a Uart
    reader = None  # the process that said it will block in a read of the console
    if board_settings is None and uart:
        def board_settings():
            return uart.settings[0], uart.settings[3]

    def port_garbles():
        return board_settings is not None and port.settings() != board_settings()

    def deliver(data):
        """The board's bytes to whoever has the line; False when the operator is gone."""
        nonlocal sender
        if sender:
            try:
                write_all(sender.fileno(), data)
            except OSError:
                sender.close()
                sender = None
            return True
        if port and attached:
            port.write(garble(data) if port_garbles() else data)
        if terminal:
            try:
                write_all(terminal[1], data)
            except OSError:
                return False
        return True

    # A system board's line: what comes in arrives at the pace the guest set its UART to,
    # a start bit, eight data bits and its stop bits a byte, each piece of a write whole
    # once the line has had the time to carry it (QEMU's 16550 would take it at once).
    paced, paced_free, delivered = deque(), 0.0, 0

    def to_line(data):
        """Bytes for the board: through the UART at the line's pace, or straight on."""
        nonlocal paced_free
        if uart:
            uart.take_input(data, time.monotonic())
        elif guest:
            baud, stop = board_settings()
            for at in range(0, len(data), PACED_PIECE):
                piece = data[at:at + PACED_PIECE]
                paced_free = max(time.monotonic(), paced_free) + len(piece) * (9 + stop) / baud
                paced.append((paced_free, piece))
        elif not closed:
            write_all(line, data)

    while not stop.is_set() or (uart and uart.queue):
        now = time.monotonic()
        escape.tick(now)
        attached = port is not None and port.attached()
        if uart:
            arrived = uart.input_due(now)
            if arrived and not closed:
                write_all(line, arrived)
            out = uart.due(now)
            if out and not deliver(out):
                return "closed"
            if not uart.queue:
                for conn in drains:
                    reply(conn, "ok")
                drains = []
            if closed and not uart.queue:
                return "closed"
        watch = [listener] + ([requests] if requests else [])
        watch += [] if closed else [line]
        watch += [sender] if sender else [terminal[0]] if reading else []
        watch += [port.master] if attached and not sender else []
        if reader and (not uart.reading or waits_in_read(reader)):
            if uart.reading:
                journal_read = uart.reading
                uart.reading = None
                uart.journal("read", journal_read)
            reader = None
        while paced and paced[0][0] <= now:
            data = paced.popleft()[1]
            if not closed:
                write_all(line, data)
                delivered += len(data)
        waits = [escape.timeout(now)] + ([uart.timeout(now), uart.input_timeout(now)] if uart else [])
        waits += [max(0.0, paced[0][0] - now)] if paced else []
        waits += [0.002] if reader else []
        wait = min([w for w in waits if w is not None] + [0.05])
        ready, _, _ = select.select(watch, [], [], wait)
        if line in ready:
            data = read_some(line)
            if not data:
                if not uart or not uart.queue:
                    return "closed"
                closed = True
            elif uart and not sender:
                uart.take(data, time.monotonic())
            else:
                carried = (carried + data)[-400:]
                if uart:  # a sender reads the line at once; the transfer has its own pace
                    uart.went_out(data)
                if not deliver(data):
                    return "closed"
        if requests in ready:
            conn, _ = requests.accept()
            request = read_request(conn)
            # What the board wrote before asking is in the UART's queue before the answer.
            if not closed:
                for_uart = read_ready(line)
                if for_uart:
                    uart.take(for_uart, time.monotonic())
            answer = uart.answer(request)
            if request == "read wait":
                reader = peer_pid(conn)
            if answer is None:
                drains.append(conn)
            else:
                reply(conn, answer)
        said = guest() if guest else []
        if said:
            # What the board wrote before it read or changed its line is on the line by now.
            data = b"" if closed else read_ready(line)
            carried = (carried + data)[-400:]
            if data and not deliver(data):
                return "closed"
        for event, settings in said:
            if event == "line":
                guest.settings = settings
            if event == "read" and (settings < delivered or paced):
                # The launcher has not yet taken all that was typed: it waits for the rest,
                # not for the operator (and what it echoed may not be here yet).
                continue
            if event not in ("line", "read"):
                journal(event, settings)
                continue
            fields = {"baud": settings[0], "stop": settings[1]} if event == "line" else {}
            journal(event, {**fields, "before": text(carried)})
        if listener in ready:
            conn, _ = listener.accept()
            if sender:
                conn.close()  # one sender at a time
            else:
                sender = conn
        if sender and sender in ready:
            data = read_some(sender.fileno())
            if data:
                to_line(data)
            else:
                sender.close()
                sender = None
        elif not sender and reading and terminal[0] in ready:
            data = read_some(terminal[0])
            if not data:
                reading = False
                continue
            data = escape.take(data, time.monotonic())
            if data is None:
                return "escape"
            if data:
                to_line(data)
        if port and port.master in ready and not sender:
            data = read_some(port.master)
            if data:
                to_line(garble(data) if port_garbles() else data)
    return "stopped"


def listen(path):
    """A socket that listens at PATH: the path appears only once it listens."""
    part = path + ".part"
    for old in (path, part):
        try:
            os.unlink(old)
        except FileNotFoundError:
            pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(part)
    sock.listen(8)
    os.replace(part, path)
    return sock


def ask(path, request):
    """One request to a booting board's UART; its answer, or None when the line is not
    relayed."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(30)
            sock.connect(path)
            sock.sendall(request.encode() + b"\n")
            return read_request(sock)
    except OSError:
        return None

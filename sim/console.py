# SPDX-License-Identifier: MIT
"""The console line of a booting board: the operator's terminal on one end, the board's
serial console on the other (a pseudo-terminal's master for a preload board, QEMU's
socket for a system board). A sender (`bladesim send`) takes the line while it is
connected; Ctrl-] then q ends the boot."""
import os
import select
import socket

ESCAPE = 0x1D  # Ctrl-]


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


def unescape(data, state):
    """The operator's bytes for the line; None when Ctrl-] q asks to end the boot."""
    out = bytearray()
    for byte in data:
        if state["escaped"]:
            state["escaped"] = False
            if byte in b"qQ":
                return None
            if byte != ESCAPE:
                out.append(ESCAPE)
            out.append(byte)
        elif byte == ESCAPE:
            state["escaped"] = True
        else:
            out.append(byte)
    return bytes(out)


def read_some(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # a pseudo-terminal whose other side is all closed
        return b""


def relay(line, listener, stop, operator_in=0, operator_out=1):
    """Copies bytes until the line closes ("closed"), STOP is set ("stopped") or the
    operator types Ctrl-] q ("escape"). LINE is a descriptor, LISTENER a socket."""
    sender, reading, state = None, True, {"escaped": False}
    while not stop.is_set():
        watch = [line, listener] + ([sender] if sender else [operator_in] if reading else [])
        ready, _, _ = select.select(watch, [], [], 0.05)
        if line in ready:
            data = read_some(line)
            if not data:
                return "closed"
            try:
                write_all(sender.fileno() if sender else operator_out, data)
            except OSError:
                if not sender:
                    return "closed"
                sender.close()
                sender = None
        if listener in ready:
            conn, _ = listener.accept()
            if sender:
                conn.close()  # one sender at a time
            else:
                sender = conn
        if sender and sender in ready:
            data = read_some(sender.fileno())
            if data:
                write_all(line, data)
            else:
                sender.close()
                sender = None
        elif not sender and reading and operator_in in ready:
            data = read_some(operator_in)
            if not data:
                reading = False
                continue
            data = unescape(data, state)
            if data is None:
                return "escape"
            write_all(line, data)
    return "stopped"


def listen(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.listen(1)
    return sock

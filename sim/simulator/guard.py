# SPDX-License-Identifier: MIT
"""Whatever ends a boot, nothing of it stays, and nothing the board wrote is lost.

- One boot of a board at a time: the boot holds a lock on the board's boot.lock, which the
  kernel releases when its holders are gone, so that a boot whose owner died is stale, not
  booting.
- Every process a boot starts has bladesim as its parent and dies with it (the parent-death
  signal; the sandbox's PID namespace takes what runs inside it). The lab's network
  namespaces are held by such processes, so the kernel removes them with the last one.
- A watchdog, forked when the boot starts, waits for bladesim: when bladesim ends without
  saying it is done (SIGKILL), the watchdog puts the operator's terminal back, removes the
  lab's namespaces and completes the boot's record (the system board's flash back into the
  board's files, the journal's end line). A command that opens the board meanwhile waits
  for it; should the watchdog be killed too, that command completes the record itself.
Nothing else is left to clean: no file outside the board, no namespace with a name."""
import ctypes
import fcntl
import json
import os
import signal
import time

from . import sysboard
from .boardfiles import die, journal_append

PR_SET_PDEATHSIG = 1


def dies_with_parent():
    """For preexec_fn: the child gets SIGKILL when bladesim ends, however it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def take_board(board):
    """The board's boot lock, held until this process and its watchdog are gone."""
    f = open(board.p("boot.lock"), "a")
    try:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        f.close()
        die(f"{board.path} is booting already: one boot of a board at a time (end that boot "
            "first: Ctrl-] q on its console)")
    return f


def marker(board):
    return board.p("run", "boot.json")


def write_mark(board, mark):
    os.makedirs(board.p("run"), exist_ok=True)
    with open(marker(board) + ".part", "w") as f:
        json.dump(mark, f)
    os.replace(marker(board) + ".part", marker(board))


def mark_boot(board, kind):
    write_mark(board, {"kind": kind, "pid": os.getpid()})


def mark_flash(board):
    """The machine's flash file is whole and in use: from now on it is the board's flash."""
    with open(marker(board)) as f:
        write_mark(board, dict(json.load(f), flash=True))


def unmark_boot(board):
    try:
        os.unlink(marker(board))
    except FileNotFoundError:
        pass


def recover(board):
    """Completes the record of a boot whose bladesim ended without doing so itself. Called
    with the board's lock held (by the watchdog), or when nobody holds it."""
    try:
        with open(marker(board)) as f:
            mark = json.load(f)
    except (OSError, ValueError):
        return False
    try:
        os.unlink(board.p("sandbox.json"))
    except FileNotFoundError:
        pass
    if mark.get("flash"):
        sysboard.finish(board)
    journal_append(board, "end", {"ending": "stopped", "status": None, "recovered": True})
    unmark_boot(board)
    return True


def owner_alive(pid):
    """True while the bladesim that started a boot still runs."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"bladesim" in f.read()
    except (OSError, TypeError):
        return False


def settle(board, patience=60.0):
    """What a boot whose bladesim was killed left undone, done before the board is used:
    waited for while its watchdog completes it, done here when the watchdog is gone too."""
    try:
        with open(marker(board)) as f:
            pid = json.load(f).get("pid")
    except (OSError, ValueError):
        return
    if owner_alive(pid):
        return  # the boot runs
    deadline = time.monotonic() + patience
    with open(board.p("boot.lock"), "a") as f:
        while True:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.05)
        recover(board)


class Watchdog:
    """A process that outlives a bladesim killed with SIGKILL, to clean up after it."""

    def __init__(self, board, saved_tty):
        self.board = board
        read_end, self.write_end = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:  # the watchdog
            os.close(self.write_end)
            self.watch(read_end, saved_tty)
        os.close(read_end)

    def watch(self, read_end, saved_tty):
        code = 0
        try:
            for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGQUIT,
                        signal.SIGTSTP):
                signal.signal(sig, signal.SIG_IGN)
            os.setsid()  # out of bladesim's process group and session
            said = b""
            while True:
                try:
                    said = os.read(read_end, 1)
                    break
                except InterruptedError:
                    continue
            if said != b"d":
                if saved_tty is not None:
                    import termios
                    try:
                        termios.tcsetattr(0, termios.TCSANOW, saved_tty)
                    except termios.error:
                        pass
                wait_for_machine(self.board)
                recover(self.board)
        except BaseException:  # nothing of a watchdog's trouble may reach the operator
            code = 1
        os._exit(code)

    def done(self):
        """The boot ended in order: the watchdog has nothing to do."""
        try:
            os.write(self.write_end, b"d")
        except OSError:
            pass
        os.close(self.write_end)
        os.waitpid(self.pid, 0)


def wait_for_machine(board, patience=10.0):
    """A system board's QEMU dies with bladesim; its flash is whole once it is gone."""
    try:
        pid = int(open(board.p("run", "qemu.pid")).read().strip())
    except (OSError, ValueError):
        return
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except OSError:
            return
        time.sleep(0.02)
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass

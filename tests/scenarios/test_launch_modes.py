# SPDX-License-Identifier: MIT
"""How the application is started: debug server, debugger, memory checker, shells."""
import gzip
import os
import shutil
import signal
import termios
import time

import pexpect
import pytest

from conftest import REBOOTED, attach_gdb, pack
from simulator.harness import board_processes

APP = "/tmp/home/bin/mp.elf.strip"
APP_LINE = "mp.elf.strip: demo application 5.0.1.1"
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "


def wait_listening(con, port=1234, dhcp=True):
    """The debug server's boot configures eth1 first: by DHCP from the lab."""
    if dhcp:
        con.answer(DHCP_QUESTION, "y\r")
    con.expect(f"Listening on port {port}")


@pytest.mark.usefixtures("debug_board")
@pytest.mark.parametrize("settings,command", [
    (["memchk=on"], f"LD_PRELOAD=libduma.so.0.0.0 {APP}\n"),
    (["gdbserver=on", "memchk=on", "gdbport=4321"],
     f"LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4321 {APP}\n"),
])
def test_memory_checker_is_really_preloaded(board, settings, command):
    board.env(*settings)
    con = board.boot(timeout=120)
    if "gdbserver=on" in settings:
        wait_listening(con, 4321)
        attach_gdb(board, ":4321")
    con.expect(APP_LINE)
    assert con.finish(timeout=60) == "bladesim: board rebooted (status 0)"
    assert "DUMA" in con.output()
    assert command in board.commands()


@pytest.fixture(scope="session")
def gdb_package(tmp_path_factory):
    """A package whose first component carries a real debugger, gzip-compressed."""
    work = tmp_path_factory.mktemp("gdb")
    gz = work / "gdb.gz"
    with open("/usr/bin/gdb", "rb") as src, gzip.open(gz, "wb", compresslevel=1) as dst:
        shutil.copyfileobj(src, dst)
    return pack(work / "gdb.pkg", f"app:9.9.9.9:{gz}", "app:5.0.1.2")


@pytest.mark.usefixtures("debug_board")
def test_debugger_taken_from_the_other_slot(board, gdb_package):
    board.env("gdb=on")
    board.slot(2, gdb_package)
    con = board.boot(timeout=180)
    con.expect("Extracting GDB from image slot 2")
    con.expect("Found GDB image 2 of length = ")
    con.expect("decompressing GDB....")
    con.expect("*** Launching under GDB ***")
    con.expect("(gdb) ", timeout=120)
    con.send("run\r")
    con.expect(APP_LINE, timeout=120)
    con.expect("(gdb) ", timeout=120)
    con.send("quit\r")
    assert con.finish(timeout=60) == "bladesim: board rebooted (status 0)"
    cmds = board.commands()
    assert cmds.index("gunzip /tmp/gdb.gz") < cmds.index("chmod +x /tmp/gdb")
    assert f"/tmp/gdb {APP}" in cmds


def test_missing_debugger_starts_normally(board):
    board.env("gdb=on", "memchk=on")
    board.slot(2, None)
    con = board.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    out = con.output()
    assert "Failed to open GDB image (from slot 2)\n" in out
    assert "**** GDB mode selected but GDB not available. Please install GDB image ***\n" in out
    assert "DUMA" not in out  # the memory checker is not applied with the debugger
    assert [e["argv"] for e in board.journal() if e["event"] == "exec"] == [["/bin/backtrace"]]


def test_debugger_copy_stops_at_the_end_of_its_file(board, tmp_path):
    # The other slot's first header claims far more data than the file holds.
    two = pack(tmp_path / "two.pkg", "app:5.0.1.2")
    data = bytearray(open(two, "rb").read())
    data[4:8] = (0x7FFFFFFF).to_bytes(4, "big")
    open(two, "wb").write(data)
    board.env("gdb=on")
    board.slot(2, two)
    con = board.boot()
    con.expect("Found GDB image 2 of length = 2147483647.")
    assert con.finish().startswith(REBOOTED)
    # What arrived was the file's own bytes, then the debugger ran (a tar archive: it fails).
    assert "*** Launching under GDB ***" in con.output()


@pytest.mark.usefixtures("debug_board")
def test_shell_before_the_application(board):
    board.env("shell=on", "gdbserver=on")
    con = board.boot(timeout=120)
    con.answer(DHCP_QUESTION, "y\r")
    con.expect("Dropping into shell")
    con.send("echo $((6*7)) > /tmp/answer; exit\r")
    con.expect("Dropping out of shell")
    wait_listening(con, dhcp=False)
    attach_gdb(board)
    assert con.finish(timeout=60) == "bladesim: board rebooted (status 0)"
    assert open(board.tmp("answer")).read() == "42\n"
    cmds = board.commands()
    assert cmds.index("/bin/sh\n") < cmds.index(f"/bin/gdbserver :1234 {APP}\n")


def test_shell_before_a_reset(board, tmp_path):
    board.env("shell=on")
    board.slot(1, None)
    board.slot(2, None)
    board.rescue("/dev/null")
    con = board.boot()
    con.expect("Image not found... ")
    con.send("echo $((6 * 7)); exit\r")  # the shell's answer, not the typed text
    assert con.finish().startswith(REBOOTED)
    assert "42\n" in con.output()
    assert board.commands()[-2:] == ["/bin/sh\n", "reboot"]
    assert board.pauses()[-1] == 1.0  # the reset's own pause


# --- the board controller's faults --------------------------------------------------------
@pytest.mark.parametrize("fault,said", [
    # Each message with the number of times it is shown.
    ("i2c-missing", {"ERROR: driver /dev/i2c-0 couldn't be opened\n": 1,
                     "I2C error when writing bus 0 offset 59: 9\n": 1}),  # EBADF
    # Access granted and withdrawn once for the read and once for the write; the EEPROM
    # never answers (ENXIO).
    ("cpld-busy", {"CPLD set bus error\n": 4, "I2C error when writing bus 0 offset 59: 6\n": 1}),
    ("eeprom-write", {"I2C error when writing bus 0 offset 59: 5\n": 1}),
])
def test_board_controller_faults_do_not_stop_the_boot(board, fault, said):
    board.eeprom(1, 2)
    con = board.boot("--fault", fault, timeout=120)
    assert con.finish(timeout=120) == "bladesim: application ended (status 0)"
    out = con.output()
    assert {text: out.count(text) for text in said} == said
    # Slot 2, as the record asks, unless the record could not be read.
    assert "Booting image '1'" in out if fault != "eeprom-write" else "Booting image '2'" in out
    if fault == "cpld-busy":
        assert [p for p in board.pauses() if p == 0.01] == [0.01] * (4 * 4999)
    if fault == "i2c-missing" and board.build != "system":
        # Bus 1 opens on its own, and is the one closed before the launch.
        assert [e["bus"] for e in board.journal() if e["event"] == "i2c-close"] == [1]


def ended(board):
    """Waits for the boot's last line in the journal."""
    deadline = time.time() + 30
    while board.journal()[-1]["event"] != "end":
        assert time.time() < deadline, "the boot's end never reached the journal"
        time.sleep(0.05)


@pytest.mark.usefixtures("debug_board")
@pytest.mark.parametrize("how", ["SIGTERM", "hang-up", "console escape", "SIGKILL"])
def test_a_stopped_boot_leaves_nothing_behind(board, how):
    board.env("gdbserver=on")
    con = board.boot("--fault", "nodhclient")
    con.answer("IP addr    :", "q\r")
    con.expect("Listening on port 1234")  # the debug server waits for a debugger
    if how == "SIGTERM":
        os.kill(con.child.pid, signal.SIGTERM)
        con.child.expect(pexpect.EOF)
        con.child.close()
        assert con.child.exitstatus == 7
    elif how == "console escape":
        # Ctrl-] then q, typed by a person: each key on its own.
        time.sleep(0.3)
        con.send("\x1d")
        time.sleep(0.3)
        con.send("q")
        assert con.finish() == "bladesim: boot stopped by the console's Ctrl-] q"
        con.child.close()
        assert con.child.exitstatus == 7
    elif how == "SIGKILL":
        # bladesim killed outright: its watchdog puts the terminal back and ends the record.
        raw = termios.tcgetattr(con.child.child_fd)
        os.kill(con.child.pid, signal.SIGKILL)
        ended(board)
        assert termios.tcgetattr(con.child.child_fd)[3] != raw[3]
        con.child.close(force=True)
    else:
        con.child.close(force=False)  # the operator's terminal goes away
    ended(board)
    assert board.journal()[-1]["ending"] == "stopped"
    assert board_processes(board.path) == []
    # Nor does the board count as booting any more.
    board.env("gdbserver=")
    assert board.boot().finish() == "bladesim: application ended (status 0)"

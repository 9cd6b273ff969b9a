# SPDX-License-Identifier: MIT
"""Serial rescue: the speed switch and an XMODEM-1K transfer over the console's own line."""
import struct
import subprocess
import termios
import time

import pytest

from conftest import back_at_menu_then_exit, data_file, pack

SWITCH = ("       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
          "       before initiating the download.\r\n")
# The sender may have read the first of its leading blanks.
SWITCH_BACK = "Change the baud rate back to 9600 bps, hit the <ENTER> key"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "


@pytest.fixture
def rescue(board):
    board.env("diagnostics=rescue")
    return board


def line_when(board, ready, what):
    """Waits until the line's settings satisfy READY (a switch of speed also empties the
    line's input, so a key sent after it counts); returns them. A receiver whose sender
    was interrupted gives up by its own timeouts, some ten seconds and more."""
    deadline = time.time() + 60
    while time.time() < deadline:
        settings = board.line_settings()
        if ready(settings):
            return settings
        time.sleep(0.01)
    raise AssertionError(f"the line never went {what}")


def transfer(board, con, package, cancel_at=None, terminal=False):
    """The operator's side: Enter at the transfer speed, the file by stock sx (through
    bladesim send, or from the operator's own terminal), Enter at the old speed. Returns
    whether sx finished and the line's settings during the transfer."""
    con.expect(SWITCH)
    during = line_when(board, lambda s: s[4] == termios.B115200, "to 115200 baud")
    con.send("\r")
    if terminal:
        fd = con.child.child_fd
        ok = subprocess.run(["sx", "-k", package], stdin=fd, stdout=fd, stderr=subprocess.DEVNULL,
                            timeout=300).returncode == 0
    else:
        ok, _ = board.send(package, cancel_at=cancel_at)
    # The switch-back instructions may have gone to sx, as they would on the blade.
    line_when(board, lambda s: s[4] != termios.B115200, "back from 115200 baud")
    con.send("\r")
    return ok, during


def control_chars(cc):
    # termios shows the VMIN and VTIME slots as numbers when ICANON is off, else as bytes.
    return [c if isinstance(c, int) else c[0] for c in cc]


@pytest.mark.preload_only("it drives the preload board's UART model through its line requests")
def test_whole_xmodem_rescue(rescue, tmp_path):
    # Sent from a terminal program on the operator's own terminal: bytes 0x1D (the
    # console's escape key) inside the transfer are data and reach the board unaltered.
    pkg = pack(tmp_path / "x.pkg", "app:8.2.0.1", f"dtb:1.0.2.0:{data_file(tmp_path / 'd', 9000)}")
    data = open(pkg, "rb").read()
    assert data.count(b"\x1d") > 10
    con = rescue.boot(timeout=120)
    # The line (and the operator's terminal) at 7 bits, even parity, 2 stop bits: the
    # transfer's 8N1 is the launcher's own doing.
    assert rescue.uart("set 9600 7 even 2") == "ok"
    before = rescue.line_settings()
    con.menu("X")
    con.expect("Running xmodem rescue.....\r\n")
    ok, during = transfer(rescue, con, pkg, terminal=True)
    assert ok
    con.expect(SLOT_QUESTION)
    after = rescue.line_settings()
    con.send("1\n")
    con.expect("Image1 updated succeeded")
    con.expect("Installing Device Tree: ")
    assert back_at_menu_then_exit(con) == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo application 8.2.0.1" in con.output()

    # During the transfer: 115200 baud, raw 8N1, no translation, no output processing.
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = during
    assert ispeed == ospeed == termios.B115200
    assert cflag & termios.CSIZE == termios.CS8
    assert not cflag & (termios.PARENB | termios.CSTOPB)
    assert cflag & termios.CREAD == before[2] & termios.CREAD
    assert iflag == termios.IGNBRK and oflag == 0
    assert not lflag & (termios.ICANON | termios.ISIG | termios.ECHO | termios.ECHOE)
    assert control_chars(cc) == control_chars(before[6])
    # Afterwards the line is exactly as it was found.
    assert after == before
    # Each switch came after its instructions had gone out whole, at the old speed.
    switches = [e for e in rescue.journal() if e["event"] == "line"][1:]
    assert [(e["baud"], e["bits"], e["parity"], e["stop"]) for e in switches] == [
        (115200, 8, "none", 1), (9600, 7, "even", 2)]
    assert switches[0]["before"].endswith(SWITCH)
    assert switches[1]["before"].endswith(SWITCH_BACK + "\n")  # output processing off
    assert not any(e["garbled"] for e in switches)
    assert not any(e["event"] == "line-discard" for e in rescue.journal())

    # The received file keeps the last block's padding; the installer left it alone.
    received = open(rescue.tmp("image"), "rb").read()
    assert len(received) % 128 == 0 and received[:len(data)] == data
    assert set(received[len(data):]) <= {0x1A} and len(received) - len(data) < 128
    assert "/usr/bin/rx /tmp/image" in rescue.commands()
    n = struct.unpack(">I", data[4:8])[0]
    assert open(rescue.user("images", "image1"), "rb").read() == data[:16 + n]


@pytest.mark.preload_only("it drives the preload board's UART model through its line requests")
def test_enter_keys_and_reminders(rescue, tmp_path):
    pkg = pack(tmp_path / "x.pkg", "app:8.2.0.2")
    con = rescue.boot(time_scale="0.01", timeout=120)
    con.menu("X")
    con.expect(SWITCH)
    line_when(rescue, lambda s: s[4] == termios.B115200, "to 115200 baud")
    # At the transfer speed a line feed is not the Enter key: only byte 13 is.
    con.send("\n")
    con.answer("\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n",
               "\r")
    # sx sends at 115200: a line the launcher left at another speed gets nothing.
    rescue.uart("set 9600 8 none 1")
    sent, said = rescue.send(pkg)
    assert not sent and "set to 9600 baud; sx sends 115200 baud 8N1: nothing sent" in said
    rescue.uart("set 115200 7 none 1")
    sent, said = rescue.send(pkg)
    assert not sent and "set to 7 data bits; sx sends 115200 baud 8N1: nothing sent" in said
    rescue.uart("set 115200 8 none 1")
    assert rescue.send(pkg)[0]
    line_when(rescue, lambda s: s[4] != termios.B115200, "back from 115200 baud")
    # Back at the old speed the terminal turns Enter into byte 10, which ends the wait.
    con.answer("\r\r\n    ... Waiting for the <ENTER> key to be hit...\r\r\n", "\r")
    con.answer(SLOT_QUESTION, "\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    # One reminder after eleven idle one-second polls.
    polls = [e for e in rescue.journal() if e["event"] == "pause" and e["seconds"] == 1.0]
    assert len(polls) >= 22


@pytest.mark.preload_only("it drives the preload board's UART model through its line requests")
def test_cancelled_transfer_installs_nothing(rescue, tmp_path):
    pkg = pack(tmp_path / "x.pkg", f"kernel:2.6.50.0:{data_file(tmp_path / 'k', 2 << 20)}",
               "app:8.2.0.3")
    kernel = rescue.flash("kernel")
    con = rescue.boot(timeout=120)
    con.menu("X")
    ok, _ = transfer(rescue, con, pkg, cancel_at=256 * 1024)
    # The operator's interrupt makes sx cancel; lrzsz's receiver keeps no partial file.
    assert not ok
    con.expect("Extracting images ... Do *NOT* power cycle the switch.\r\n")
    assert back_at_menu_then_exit(con).startswith("bladesim: application ended")
    assert rescue.flash("kernel") == kernel
    assert not any(e["event"] in ("erase", "write") for e in rescue.journal())


@pytest.mark.preload_only("the XMODEM Enter wait polls the console without blocking; a system "
                         "board's guest tells only reads that wait")
def test_earlier_image_counts_when_nothing_is_received(rescue, tmp_path):
    # The receiver cannot be started, so the package left in /tmp/image is installed again.
    pkg = pack(tmp_path / "earlier.pkg", "app:8.2.0.4")
    con = rescue.boot("--fault", "norx", image=pkg, timeout=120)
    con.menu("X")
    con.answer(SWITCH, "\r")
    con.expect(SWITCH_BACK)
    rescue.reading(SWITCH_BACK + "\n")  # output processing off at the transfer speed
    con.send("\r")
    con.answer(SLOT_QUESTION, "2\n")
    con.expect("Image2 updated succeeded")
    back_at_menu_then_exit(con)


def test_missing_serial_port(rescue):
    con = rescue.boot("--fault", "ttyS0-missing")
    con.menu("X")
    con.expect("Running xmodem rescue.....\r\nCan't open serial port!: No such file or directory\r\n"
               "Serial download abandoned.\r\n")
    assert back_at_menu_then_exit(con).startswith("bladesim: application ended")
    assert "/usr/bin/rx /tmp/image" not in rescue.commands()

# SPDX-License-Identifier: MIT
"""The console as a lab reaches it: Debian's picocom on the operator's pseudo-terminal
(run/tty), its own XMODEM send, and ser2net's telnet port; the operator's terminal set to
its own speed, as on a real line."""
import pytest

from conftest import pack
from test_serial_rescue import SLOT_QUESTION, SWITCH

MENU_PROMPT = "\r\nOption? : "
TFTP_ANSWERS = (("IP addr    :", "10.77.1.2"), ("Netmask    :", "255.255.255.0"),
                ("Gateway    :", "10.77.1.1"), ("Server addr:", "10.77.0.1"))


@pytest.fixture
def rescue(board):
    board.env("diagnostics=rescue")
    return board


def picocom(board, baud):
    """picocom as an operator starts it, its send command stock sx."""
    con = board.terminal("picocom", "-b", str(baud), "--send-cmd", "sx -k",
                         board.p("run", "tty"))
    con.expect("Terminal ready")
    return con


def set_speed(con, baud):
    """picocom's Ctrl-A Ctrl-B: the port's speed, as the operator types it."""
    con.send("\x01\x02")
    con.expect("*** baud: ")
    con.send(f"{baud}\r")
    con.expect(f"*** baud: {baud} ***")


def garbled(text):
    """What a terminal shows of TEXT sent at another speed (the board's model of it)."""
    return "".join(chr(0x80 | (ord(c) >> 1)) for c in text)


def test_tftp_rescue_typed_through_picocom(rescue, tmp_path):
    pack(rescue.p("tftp", "new.pkg"), "app:5.0.1.9", ppc=rescue.build == "system")
    rescue.boot(detach=True, timeout=120)
    con = picocom(rescue, 9600)
    con.menu("T")
    for prompt, text in TFTP_ANSWERS:
        con.answer(prompt, text + "\r")
    con.answer("Image Filename: ", "new.pkg\r")
    con.answer(SLOT_QUESTION, "2\r")
    con.expect("Image2 updated succeeded")
    con.menu("E")
    con.expect("mp.elf.strip: demo application 5.0.1.9")
    assert rescue.ended() == "bladesim: application ended (status 0)"
    assert rescue.eeprom(1) == 2


def test_xmodem_rescue_sent_by_picocom(rescue, tmp_path):
    pkg = pack(tmp_path / "x.pkg", "app:8.2.0.5", ppc=rescue.build == "system")
    rescue.boot(detach=True, timeout=180)
    con = picocom(rescue, 9600)
    con.menu("X")
    con.expect(SWITCH)
    rescue.switched(115200)
    # Enter at the old speed is no Enter at the new one: the launcher keeps waiting.
    con.send("\r")
    set_speed(con, 115200)
    con.send("\r")
    con.send("\x01\x13")  # Ctrl-A Ctrl-S: picocom's send command
    con.expect("*** file: ")
    con.send(pkg + "\r")
    con.expect("*** exit status: 0 ***", timeout=120)
    # The switch-back words may have gone to sx while it held the line, as on the blade.
    rescue.switched(9600)
    set_speed(con, 9600)
    con.send("\r")
    con.answer(SLOT_QUESTION, "1\r")
    con.expect("Image1 updated succeeded")
    con.menu("E")
    con.expect("mp.elf.strip: demo application 8.2.0.5")
    assert rescue.ended() == "bladesim: application ended (status 0)"
    switches = [e for e in rescue.journal() if e["event"] == "line"]
    # Each switch came once its words were out whole (a system board has no queue to garble).
    assert [e["baud"] for e in switches][-2:] == [115200, 9600]
    assert not any(e.get("garbled") for e in switches)


def test_terminal_at_the_wrong_speed(rescue):
    rescue.boot(detach=True)
    con = picocom(rescue, 115200)
    con.board.reading(MENU_PROMPT)
    con.send("H")
    # The launcher got a byte it cannot take for a key, and its answer reads as noise.
    con.expect(garbled("unknown option"))
    set_speed(con, 9600)
    con.send("\r")
    con.answer(MENU_PROMPT, "H")
    con.expect("Installed images versions: ")
    con.menu("E")
    assert rescue.ended() == "bladesim: application ended (status 0)"


def test_menu_through_the_console_servers_telnet_port(rescue):
    rescue.boot(detach=True)
    with open(rescue.run_file("telnet")) as f:
        port = f.read().strip()
    con = rescue.terminal("telnet", "127.0.0.1", port)
    con.expect("Escape character is")
    rescue.reading(MENU_PROMPT)
    con.send("H")
    con.expect("\tOS image 2  : 5.0.1.2\r\n")
    con.menu("E")
    con.expect("Booting image '1'")
    assert rescue.ended() == "bladesim: application ended (status 0)"

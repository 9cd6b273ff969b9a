# SPDX-License-Identifier: MIT
"""The rescue console: the line editor, the menu, the version display."""
import os
import subprocess
import termios

import pytest

from conftest import REBOOTED, BLADESIM, TIME_SCALE

BS, BEL = "\b", "\a"
MENU = ("Please select one of the following options:\r\n"
        "\tT) Configure networking and tftp download an image\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")


@pytest.fixture
def rescue(board):
    # Downloads fail at once: these tests are about the console, not the network.
    board.env("diagnostics=rescue")
    board.fault("notftp")
    return board


# Keys typed at the file name question through the console line, the exact echo, and the
# line that results: the editor's wiring (its keys are proved one by one in the unit tests).
EDITOR_CASES = [
    # Cursor keys as the terminal sends them, an insert in the middle.
    ("ab\x1b[D\x1b[1;5D\x1b[C\x1b[1;5CX\r", "ab" + BS + BS + "ab" + "X\n", "abX"),
    # The worked example: 'abcd', cursor after 'b', Backspace, then 'X'.
    ("abcd\x02\x02\x7fX\r", "abcd" + BS + BS + BS + "cd " + BS * 3 + "Xcd" + BS * 2 + "\n", "aXcd"),
    # With the terminal's signal keys off, Ctrl-C reaches the launcher as the code 3.
    ("zz\x03", "zz <break>\n", "zz"),
]


def file_name_line(con):
    con.expect("Installing image ")
    name = con.expect(" from TFTP server 10.77.0.1")
    con.expect("Tftp download failed. Aborting")
    return name


@pytest.mark.preload_only("it reads the preload board's line settings from its pseudo-terminal")
def test_line_editor(rescue):
    con = rescue.boot(timeout=120)
    attrs = rescue.line_settings()
    attrs[3] &= ~termios.ISIG
    rescue.set_line(attrs)
    for keys, echo, line in EDITOR_CASES:
        con.tftp_rescue("10.77.1.2", "", "", "10.77.0.1")
        con.reading()
        con.send(keys)
        shown = con.expect("\r\n")
        assert shown + "\n" == echo, (keys, shown)
        assert file_name_line(con) == line
    con.menu("E")
    assert con.finish().startswith("bladesim: application ended")
    # Each attempt ran the exact download command for the edited name.
    names = [c for c in rescue.commands() if c.startswith("tftp ")]
    assert names[0] == f"tftp -g -r {EDITOR_CASES[0][2]} -l /tmp/image 10.77.0.1\n"


def test_ctrl_c_as_a_signal_abandons_the_download(rescue):
    con = rescue.boot()
    con.tftp_rescue("10.77.1.2", "", "", "10.77.0.1")
    con.reading()
    con.send("zz")
    con.expect("zz")
    con.interrupt()
    con.expect(BEL)  # the interrupted read counts as the code 0
    con.send("\r")
    con.expect("\n" + MENU)
    con.menu("E")
    con.finish()
    assert not any(c.startswith("tftp") or c.startswith("ifconfig") for c in rescue.commands())


def test_menu_keys(rescue):
    con = rescue.boot()
    con.answer("Entering Rescue Mode.\r\n" + MENU + "\r\nOption? : ", "q")
    con.answer('q\r\nunknown option "Q". Please try again\r\n\r\nOption? : ', "u")
    con.expect('u\r\nunknown option "U". Please try again\r\n\r\nOption? : ')
    con.interrupt()
    # The interrupt's empty read is echoed as a zero byte; the prompt comes again.
    con.answer("\x00\r\n\r\nOption? : ", "h")
    con.expect("h\r\nInstalled images versions: \r\n")
    con.expect("\tOS image 2  : 5.0.1.2\r\n" + MENU)
    con.menu("e")
    con.expect("e\r\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "Booting image '1'" in con.output()


def test_keys_that_must_not_act(rescue):
    con = rescue.boot()
    con.expect("\r\nOption? : ")
    con.reading()
    # Ctrl-\ and Ctrl-Z neither kill nor stop the launcher; the menu read goes on, as if
    # they had not been pressed.
    con.send("\x1c\x1a")
    # A cursor or function key is one unknown key, not its last letter's option.
    for key in ("\x1b[D", "\x1b[H", "\x1bOP"):
        con.send(key)
        assert con.expect('\x1b\r\nunknown option "\x1b". Please try again\r\n\r\nOption? : ') == ""
        con.reading()
    # A sequence ends at the first byte that cannot continue it, and that byte is the next
    # key, not lost.
    con.send("\x1b[12\r")
    con.expect('unknown option "\x1b". Please try again\r\n\r\nOption? : ')
    con.expect('unknown option "')
    assert con.expect('". Please try again\r\n\r\nOption? : ').strip("\r\n") == ""
    con.reading()
    # A line pasted at the menu is one key: H shows the versions, the rest is dropped.
    con.send("HE\r")
    con.expect("\tOS image 2  : 5.0.1.2\r\n" + MENU + "\r\nOption? : ")
    con.reading()
    # Typed ahead of a question, a line's rest cannot answer it.
    con.send("dy")
    con.answer("keys will be lost) y/N: ", "n")
    con.expect("Booting diags image...")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "Erasing" not in con.output() and con.output().count("Installed images") == 1
    assert os.path.exists(rescue.user("images", "image1"))


def test_rest_of_an_answer_is_not_the_next_answer(rescue):
    con = rescue.boot()
    con.menu("T")
    con.answer("IP addr    :", "10.77.1.2\r255.255.0.0\r")
    con.answer("Netmask    :", "\r")
    assert "255.255.0.0" not in con.answer("Gateway    :", "\r")
    con.answer("Server addr:", "10.77.0.1\r")
    con.answer("Image Filename: ", "pkg.bin\r")
    con.menu("E")
    con.finish()
    assert "ifconfig eth1 10.77.1.2\n" in rescue.commands()  # no netmask was typed


def test_menu_reboot(rescue):
    con = rescue.boot()
    con.menu("r")
    assert con.finish().startswith(REBOOTED)
    assert rescue.pauses()[-2:] == [1.0, 1.0]  # the menu's second, then board_reset's


@pytest.mark.preload_only("a system board's console is its UART: input from a pipe reaches "
                         "only a preload board's launcher")
def test_end_of_input_at_the_console(rescue):
    # The console is a pipe that ends in the middle of the file name question.
    args = [BLADESIM, "boot", rescue.path, "--time-scale", TIME_SCALE]
    if rescue.build == "ppc":
        args.append("--ppc")
    r = subprocess.run(["/usr/bin/python3", *args], input=b"T10.77.1.2\r\r\r10.77.0.1\rx",
                       capture_output=True, timeout=60)
    out = r.stdout.decode("latin-1")
    # The line ends as Break would, the one-character name is refused, the dialog ends,
    # and the menu leaves for the normal boot: nothing waits or rings for ever.
    assert "Image Filename: x <break>\nInvalid filename. Try again please\n" in out
    assert out.rstrip().endswith("bladesim: application ended (status 0)")
    assert "Booting image '1'" in out

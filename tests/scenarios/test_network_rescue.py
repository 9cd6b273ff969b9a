# SPDX-License-Identifier: MIT
"""Network rescue against the lab's real DHCP and TFTP server over eth1."""
import shutil

import pytest

from conftest import attach_gdb, pack

# The lab's router on the board's subnet, and its TFTP server behind it.
GATEWAY, SERVER, PORT = "10.77.1.1", "10.77.0.1", "10.77.1.2"
STATIC = ["ifconfig eth1 10.77.1.2\n", "ifconfig eth1 down\n",
          "ifconfig eth1 netmask 255.255.255.0\n", "ifconfig eth1 up\n",
          "route add default gw 10.77.1.1\n"]
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "


@pytest.fixture
def rescue(board):
    board.env("diagnostics=rescue")
    return board


def exit_menu(con):
    con.menu("E")
    return con.finish()


def test_whole_tftp_rescue_into_slot_2_then_boot(rescue):
    pack(rescue.p("tftp", "blade-8.0.pkg"), "app:8.0.0.2", "dtb:1.0.9.9:/etc/hostname")
    con = rescue.boot(timeout=120)
    con.tftp_rescue(PORT, "255.255.255.0", GATEWAY, SERVER, "blade-8.0.pkg")
    con.expect("\tNetmask    : 255.255.255.0\r\n")
    con.expect("\tGateway    : 10.77.1.1\r\n")
    con.expect("Configuring management port..." + "." * 20 + "\r\n")
    con.expect("Installing image blade-8.0.pkg from TFTP server 10.77.0.1\r\n")
    con.answer(SLOT_QUESTION, "2\n")
    con.expect("Image2 updated succeeded")
    con.expect("Installing Device Tree: ")
    assert exit_menu(con) == "bladesim: application ended (status 0)"
    out = con.output()
    assert "Booting image '2'" in out and "mp.elf.strip: demo application 8.0.0.2" in out
    cmds = rescue.commands()
    assert cmds[1:7] == STATIC + ["tftp -g -r blade-8.0.pkg -l /tmp/image 10.77.0.1\n"]
    # The static set-up waits 5 s, then 20 times 1 s, then 1 s more.
    pauses = rescue.pauses()
    assert pauses[pauses.index(5.0):pauses.index(5.0) + 22] == [5.0] + [1.0] * 21
    assert rescue.eeprom(1) == 2
    # The next boot starts the installed application.
    rescue.env("diagnostics=")
    con = rescue.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo application 8.0.0.2" in con.output()


@pytest.mark.parametrize("fault,netmask,gateway", [
    (None, "255.255.255.0", GATEWAY),  # the file is not on the server
    ("tftp-silent", "255.255.255.0", GATEWAY),
    (None, "", ""),  # no netmask and no gateway given
])
def test_download_fails_after_three_attempts(rescue, fault, netmask, gateway):
    con = rescue.boot(*(["--fault", fault] if fault else []), timeout=180)
    con.tftp_rescue(PORT, netmask, gateway, SERVER, "missing.pkg")
    for n in (1, 2, 3):
        con.expect("Installing image missing.pkg from TFTP server 10.77.0.1\r\n", timeout=60)
        con.expect(f"Attempt {n}/3 of tftp timed out\r\n", timeout=60)
    con.expect("Tftp download failed. Aborting\r\n")
    exit_menu(con)
    cmds = rescue.commands()
    assert len([c for c in cmds if c.startswith("tftp")]) == 3
    assert rescue.pauses().count(3.0) == 3  # also after the third attempt
    port = [c for c in cmds if c.startswith(("ifconfig", "route"))]
    assert port == (STATIC if netmask else STATIC[:1])
    assert ("Netmask    : " in con.output().split("Image Filename:")[1]) == bool(netmask)


def test_download_succeeds_at_the_second_attempt(rescue, tmp_path):
    package = pack(tmp_path / "late.pkg", "app:8.0.0.3")
    con = rescue.boot(time_scale="0.1", timeout=120)
    con.tftp_rescue(PORT, "255.255.255.0", GATEWAY, SERVER, "late.pkg")
    con.expect("Attempt 1/3 of tftp timed out\r\n", timeout=60)
    # The file reaches the server during the three-second pause.
    shutil.copyfile(package, rescue.p("tftp", "late.pkg"))
    con.answer(SLOT_QUESTION, "\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    out = con.output()
    assert out.count("Installing image late.pkg from TFTP server") == 2
    assert out.count("timed out") == 1
    assert "mp.elf.strip: demo application 8.0.0.3" in out


# --- the address questions -----------------------------------------------------------------
QUESTIONS = ["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "]


@pytest.mark.parametrize("quit_at,answer", [(q, a) for q in QUESTIONS[:4] for a in ("Q", "q10.0.0.1")]
                         + [("Image Filename: ", "q")])
def test_quit_at_each_question(rescue, quit_at, answer):
    con = rescue.boot()
    con.menu("T")
    for prompt, reply in zip(QUESTIONS, (PORT, "", GATEWAY, SERVER)):
        if prompt == quit_at:
            break
        con.answer(prompt, reply + "\r")
    con.answer(quit_at, answer + "\r")
    con.expect("\r\nPlease select one of the following options:")
    exit_menu(con)
    assert len(rescue.commands()) == 2  # the mount and the final unpack: nothing configured


def test_file_name_rules(rescue):
    con = rescue.boot(timeout=120)
    con.tftp_rescue(PORT, "255.255.255.0", GATEWAY, SERVER)
    refused = ["Q", "x", "", "a b", "x;reboot", "$(reboot)", "`reboot`", "a'b", 'a"b', "a\\b",
               "a|b", "a>b", "a&b", "*.pkg", "~/pkg", "a(b", "a{b}", "a#b", "a!b", "a?b",
               "\x80\xff"]  # bytes 128 to 255 are stored as typed, and refused
    for name in refused + ["qq"]:  # two characters, beginning with q: a name
        con.reading()
        con.send(name + "\r")
        assert con.expect("\r\n") == name  # echoed as typed
        if name != "qq":
            con.expect("Invalid filename. Try again please\r\n")
            con.expect("Image Filename: ")
    con.expect("Installing image qq from TFTP server")
    con.expect("Tftp download failed. Aborting", timeout=60)
    exit_menu(con)
    assert [c for c in rescue.commands() if c.startswith("tftp")][0] == \
        "tftp -g -r qq -l /tmp/image 10.77.0.1\n"
    assert not any(e["event"] == "reboot" for e in rescue.journal())


def test_address_answers(rescue):
    """Required and optional answers, the range rule, and what inet_aton accepts."""
    con = rescue.boot(timeout=120)
    con.menu("T")
    for answer, reply in [("", "Invalid IP address. Try again please\r\n"),
                          (" 192.168.77.2", "Invalid IP address. Try again please\r\n"),
                          ("192.168.77.256", "Invalid IP address. Try again please\r\n"),
                          ("255.255.255.0", "Invalid IP address 255.255.255.0. Try again please\r\n"),
                          ("0.1.2.3", "Invalid IP address 0.1.2.3. Try again please\r\n"),
                          ("10", "Invalid IP address 10. Try again please\r\n"),
                          ("240.0.0.1", "Invalid IP address 240.0.0.1. Try again please\r\n")]:
        con.answer("IP addr    :", answer + "\r")
        con.expect(reply)
    # Hexadecimal and octal parts, and a last part filling the low bytes.
    con.answer("IP addr    :", "0xc0.0250.19714\r")
    con.answer("Netmask    :", "10\r")  # no range rule for the netmask: 0.0.0.10
    con.answer("Gateway    :", "240.0.0.1\r")
    con.expect("Invalid IP address 240.0.0.1. Try again please\r\n")
    con.answer("Gateway    :", "224.0.0.1\r")  # multicast is not refused
    con.answer("Server addr:", "127.0.0.1\r")
    con.answer("Image Filename: ", "none.pkg\r")
    con.expect("Tftp download failed. Aborting", timeout=60)
    exit_menu(con)
    cmds = rescue.commands()
    assert "ifconfig eth1 192.168.77.2\n" in cmds  # 0xc0.0250.19714
    assert "ifconfig eth1 netmask 0.0.0.10\n" in cmds
    assert [c for c in cmds if c.startswith("route")] == ["route add default gw 224.0.0.1\n"]
    assert "tftp -g -r none.pkg -l /tmp/image 127.0.0.1\n" in cmds


def test_interrupt_is_noticed_after_the_file_name(rescue):
    con = rescue.boot()
    con.menu("T")
    con.expect("IP addr    :")
    con.interrupt()
    con.expect("\a")
    con.send(PORT + "\r")
    con.answer("Netmask    :", "\r")
    con.answer("Gateway    :", "\r")
    con.answer("Server addr:", SERVER + "\r")
    con.answer("Image Filename: ", "late.pkg\r")
    con.expect("\r\nPlease select one of the following options:")
    exit_menu(con)
    assert not any(c.startswith("ifconfig") for c in rescue.commands())


# --- the debug server's port set-up at boot ---------------------------------------------
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "


@pytest.mark.usefixtures("debug_board")
def test_debug_server_boot_with_a_dhcp_lease_attached_from_the_lab(board):
    board.env("gdbserver=on")
    con = board.boot(timeout=120)
    con.answer(DHCP_QUESTION, "y\r")
    con.expect("\r\n")
    con.expect("Booting image '1'")
    con.expect("Listening on port 1234")
    lease = open(board.p("run", "dnsmasq.leases")).read().split()[2]
    assert lease.startswith("10.77.1.")
    gdb = attach_gdb(board, f"{lease}:1234", lab=True)
    assert "exited normally" in gdb, gdb
    con.expect("Remote debugging from host 10.77.1.1")
    con.expect("mp.elf.strip: demo application 5.0.1.1")
    assert con.finish(timeout=60) == "bladesim: board rebooted (status 0)"
    cmds = board.commands()
    assert cmds[1] == "dhclient -1 eth1"
    assert not any(c.startswith("ifconfig") for c in cmds)
    assert "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n" in cmds and cmds[-1] == "reboot"
    assert 3.0 in board.pauses() and 5.0 not in board.pauses()
    # No debugger is taken from the other slot for the debug server.
    assert "Extracting GDB" not in con.output()


PORT_DIALOGS = {
    # boot arguments; the questions and answers in turn; the port commands; gdb from the lab
    "static": ([], [(DHCP_QUESTION, "n\r"), ("IP addr    :", PORT + "\r"), ("Netmask    :", "\r"),
                    ("Gateway    :", GATEWAY + "\r")],
               ["ifconfig eth1 10.77.1.2\n", "route add default gw 10.77.1.1\n"], True),
    "no DHCP client": (["--fault", "nodhclient"], [("IP addr    :", "q\r")], [], False),
    "silent DHCP server": (["--fault", "dhcp-silent"], [(DHCP_QUESTION, "Y\r")],
                           ["dhclient -1 eth1"], False),
    "quit": ([], [(DHCP_QUESTION, "\r"), ("IP addr    :", PORT + "\r"), ("Netmask    :", "q\r")],
             [], False),
}


@pytest.mark.usefixtures("debug_board")
@pytest.mark.parametrize("case", PORT_DIALOGS)
def test_debug_server_port_dialog(board, case):
    args, answers, configured, lab = PORT_DIALOGS[case]
    board.env("gdbserver=on")
    con = board.boot(*args, timeout=120)
    for prompt, text in answers:
        con.answer(prompt, text)
    con.expect("Booting image '1'", timeout=60)  # a silent DHCP server: dhclient gives up
    con.expect("Listening on port 1234")
    gdb = attach_gdb(board, f"{PORT}:1234", lab=True) if lab else attach_gdb(board)
    assert "exited normally" in gdb, gdb
    assert con.finish(timeout=60) == "bladesim: board rebooted (status 0)"
    cmds = board.commands()
    assert [c for c in cmds if c.startswith(("ifconfig", "route", "dhclient"))] == configured
    assert (DHCP_QUESTION in con.output()) == (case != "no DHCP client")

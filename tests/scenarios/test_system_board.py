# SPDX-License-Identifier: MIT
"""The PowerPC launcher on a real Linux kernel under qemu-system-ppc: real MTD, JFFS2,
i2c-dev and 8250 drivers. Outcomes only: console texts, flash, EEPROM, the next boot."""
import json
import os
import signal
import subprocess

import pytest

from conftest import REPO, data_file, made_board, pack, sim

pytestmark = pytest.mark.skipif(os.environ.get("BLADEBOOT_SKIP_SYSTEM") == "1",
                                reason="system board scenarios not asked for")

BOOT_SLOT, BOOTED_SLOT = 1, 59
APPLICATION = "bladesim: application ended (status 0)"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
SWITCH = "Change the baud rate to 115200 bps and hit the <ENTER> key"


@pytest.fixture
def blade(tmp_path, templates):
    yield from made_board(tmp_path, templates("system"), "system")


def boot(blade, extra=(), **kw):
    return blade.boot(*extra, timeout=kw.pop("timeout", 180), **kw)


def xmodem_send(blade, con, package):
    """Option X: Enter at the transfer speed, the package by stock sx, and Enter once the
    launcher is back at the console's speed (its switch-back words may have gone to sx,
    as they would on the blade)."""
    con.menu("X")
    con.expect(SWITCH)
    blade.switched(115200)
    con.send("\r")
    sent, said = blade.send(package)
    assert sent, said
    blade.switched(9600)
    con.send("\r")


def test_boot_records_the_slot_and_falls_back(blade, tmp_path):
    blade.eeprom(BOOT_SLOT, 2)
    con = boot(blade)
    assert con.finish() == APPLICATION
    assert "Booting image '2'" in con.output()
    assert "mp.elf.strip: demo application 5.0.1.2" in con.output()
    assert blade.eeprom(BOOTED_SLOT) == 2 and blade.eeprom(BOOT_SLOT) == 2

    # Slot 2 gone from the real JFFS2: the other slot's file.
    blade.slot(2, None)
    con = boot(blade)
    assert con.finish() == APPLICATION
    out = con.output()
    assert "Failed to open Application image 2. Trying image 1." in out
    assert "mp.elf.strip: demo application 5.0.1.1" in out
    assert blade.eeprom(BOOTED_SLOT) == 1

    # Neither slot: the rescue partition's diagnostics.
    blade.slot(1, None)
    con = boot(blade)
    assert con.finish() == APPLICATION
    assert "Trying rescue image" in con.output()
    assert "mp.elf.strip: demo diagnostics 4.2.0.1" in con.output()
    assert blade.eeprom(BOOTED_SLOT) == 4


def test_tftp_install_of_kernel_and_application_then_a_kill(blade, tmp_path):
    # Over the lab's own network, then bladesim killed outright right after the install:
    # the board's files hold what the guest's flash held.
    kernel = data_file(tmp_path / "kernel.data", 200 * 1024, seed=8)
    pack(blade.p("tftp", "blade-9.pkg"), f"kernel:2.6.40.1:{kernel}", "app:9.0.0.1", ppc=True)
    blade.env("diagnostics=rescue")
    con = boot(blade)
    con.tftp_rescue("10.77.1.2", "255.255.255.0", "10.77.1.1", "10.77.0.1", "blade-9.pkg")
    con.expect("Installing image blade-9.pkg from TFTP server 10.77.0.1", timeout=120)
    con.expect("Installing Kernel: ")
    con.answer(SLOT_QUESTION, "2\r")
    con.expect("Image2 updated succeeded", timeout=300)
    # The versions as the real MTD driver reads them back.
    con.menu("H")
    con.expect("Installed images versions: \r\n\tBoot image  : 1.4.0.2\r\n"
               "\tRFS image   : 3.1.0.7\r\n\tKernel image: 2.6.40.1\r\n"
               "\tDFT image   : 1.0.0.5\r\n\tOS image 1  : 5.0.1.1\r\n"
               "\tOS image 2  : 9.0.0.1\r\n")
    os.kill(con.child.pid, signal.SIGKILL)
    con.child.close(force=True)
    shown = json.loads(sim("show", blade.path, "--json").stdout)
    assert shown["slots"]["2"]["version"] == "9.0.0.1" and shown["eeprom"]["boot_slot"] == 2
    assert shown["partitions"]["kernel"]["version"] == "2.6.40.1"
    assert blade.journal()[-1]["ending"] == "stopped"
    with open(kernel, "rb") as f:
        assert blade.flash("kernel")[16:16 + 200 * 1024] == f.read()
    blade.env("diagnostics=")
    con = boot(blade)
    assert con.finish() == APPLICATION
    assert "mp.elf.strip: demo application 9.0.0.1" in con.output()


def test_xmodem_install_by_stock_sx(blade, tmp_path):
    pkg = pack(tmp_path / "x.pkg", "app:9.1.0.2", ppc=True)
    blade.env("diagnostics=rescue")
    con = boot(blade)
    blade.switched(9600)  # the guest's line as the boot loader left it
    sent, said = blade.send(pkg)
    assert not sent and "set to 9600 baud; sx sends 115200 baud 8N1: nothing sent" in said
    xmodem_send(blade, con, pkg)
    con.answer(SLOT_QUESTION, "2\r")
    con.expect("Image2 updated succeeded", timeout=300)
    con.menu("E")
    assert con.finish() == APPLICATION
    assert blade.eeprom(BOOT_SLOT) == 2
    assert open(blade.user("images", "image2"), "rb").read() == open(pkg, "rb").read()
    blade.env("diagnostics=")
    con = boot(blade)
    assert con.finish() == APPLICATION
    assert "mp.elf.strip: demo application 9.1.0.2" in con.output()


def test_wipe_of_the_real_filesystem_then_diagnostics(blade):
    blade.env("diagnostics=diags")
    con = boot(blade)
    con.answer("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) "
               "y/N: ", "y")
    con.expect("Erasing filesystem for clean install")
    con.expect("Booting diags image...", timeout=300)
    assert con.finish() == APPLICATION
    assert "mp.elf.strip: demo diagnostics 4.2.0.1" in con.output()
    assert os.listdir(blade.user()) == ["images"] and os.listdir(blade.user("images")) == []
    # The next plain boot finds no slot and starts the rescue image again.
    blade.env("diagnostics=")
    con = boot(blade)
    assert con.finish() == APPLICATION
    assert "Trying rescue image" in con.output()


def test_power_cuts_on_the_real_kernel_keep_a_bootable_blade():
    # A sample of the sweep bench/system_power_cuts.py runs whole: a kernel and application
    # install and the recovery copy, each cut in the slot's rename window and across the
    # operation; after every cut the next start launches an application.
    r = subprocess.run(["/usr/bin/python3", os.path.join(REPO, "bench", "system_power_cuts.py"),
                        "--sample", "3"], capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, r.stdout + r.stderr
    rows = [line for line in r.stdout.splitlines() if line.startswith("  cut@")]
    assert len(rows) == 6 and all("booted" in row and "TORN" not in row for row in rows), r.stdout


def test_dhcp_from_the_lab(blade):
    # The management port is on the lab's own network: its DHCP server gives the lease.
    blade.env("gdbserver=on")
    con = boot(blade)
    con.answer("Confirm: Use DHCP for network configuration? y/N: ", "y\r")
    con.finish()
    assert "DHCP lease     10.77.1." in sim("lab", blade.path).stdout

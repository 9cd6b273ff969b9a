# SPDX-License-Identifier: MIT
"""A plain boot: the mount, the slot from the VPD record, the fallbacks, the rescue
partition, Ctrl-C and the board reset."""
import itertools
import os
import subprocess
import time

import pytest

from conftest import REBOOTED, damage, data_file, pack

BOOT_SLOT, BOOTED_SLOT = 1, 59
# The unpack keeps tar's verdict as the script's own.
UNPACK = ("cd /tmp \ntar mxzf /tmp/vemiximage.tar.gz \nunpacked=$? \nrm /tmp/vemiximage.tar.gz\n"
          "exit $unpacked\n")


def app_line(version):
    return f"mp.elf.strip: demo application {version}"


@pytest.mark.parametrize("record,slot,faults", [(1, 1, []), (2, 2, []), (0xFF, 1, []), (0x00, 1, []),
                                                (3, 1, []), (2, 1, ["--fault", "eeprom-read"])])
def test_slot_named_by_the_eeprom(board, record, slot, faults):
    board.eeprom(BOOT_SLOT, record)
    con = board.boot(*faults)
    assert con.finish() == "bladesim: application ended (status 0)"
    out = con.output()
    assert f"Booting image '{slot}'\n" in out
    assert app_line(f"5.0.1.{slot}") in out
    assert board.eeprom(BOOTED_SLOT) == slot
    assert board.eeprom(BOOT_SLOT) == record


@pytest.mark.preload_only("it looks into the board's /tmp and the device library's I2C journal")
def test_normal_start_unpacks_and_replaces_the_launcher(board):
    con = board.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    events = board.journal()
    # The user filesystem is mounted first; the slot package is read from it.
    assert board.commands()[0] == "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"
    assert board.commands()[-1] == UNPACK
    # The archive's members are under /tmp and the archive itself is gone.
    assert os.access(board.tmp("home", "bin", "mp.elf.strip"), os.X_OK)
    # The board's own kind of program: a PowerPC board's is a big-endian PowerPC ELF file.
    machine = open(board.tmp("home", "bin", "mp.elf.strip"), "rb").read(20)[18:]
    assert (machine == b"\x00\x14") == (board.build != "host")
    assert open(board.tmp("home", "etc", "release")).read() == "demo application 5.0.1.1\n"
    assert not os.path.exists(board.tmp("vemiximage.tar.gz"))
    # Both buses are closed before the launcher becomes /bin/backtrace.
    kinds = [e["event"] for e in events]
    exec_at = kinds.index("exec")
    closes = [e["bus"] for e in events[:exec_at] if e["event"] == "i2c-close"]
    assert closes == [0, 1]
    assert events[exec_at]["argv"] == ["/bin/backtrace"]
    assert not any(e["event"] in ("i2c", "i2c-close") for e in events[exec_at:])
    # The booted slot was recorded before the launch, through mux channel 3 and the CPLD.
    vpd = [e for e in events if e["event"] == "i2c" and e["address"] == 0x54]
    assert [(e["op"], e["command"], e["value"]) for e in vpd] == [("read", 1, 1), ("write", 59, 1)]


def test_ctrl_c_has_no_effect(board):
    # At real speed, so the interrupt arrives while the launcher is still running.
    con = board.boot(time_scale="1")
    deadline = time.time() + 20
    # The one-second pause before the archive is unpacked.
    while not any(e["event"] == "pause" and e["seconds"] == 1.0 for e in board.journal()):
        assert time.time() < deadline, "the launcher never reached its launch pause"
        time.sleep(0.02)
    con.child.sendintr()
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo application 5.0.1.1" in con.output()


def test_reboot_that_cannot_start(board):
    board.fault("no-process")
    board.rescue("/dev/null")
    con = board.boot()
    assert con.finish() == "bladesim: bladeboot exited (status 0)"
    assert "System reboot failed, please power-cycle.\n" in con.output()
    assert board.commands()[-1] == "reboot"
    assert not any(e["event"] == "reboot" for e in board.journal())


# --- the fallback rows -------------------------------------------------------------------
def slot_package(tmp_path, content, name):
    """A slot or rescue partition's content: None (no file), "kernel" (no application),
    "bad:VERSION" (a 200 KiB application whose last byte is wrong: the CRC fails only after
    most of the archive was written), "short:VERSION" (ten bytes missing), or a component."""
    if content is None:
        return None
    kind, _, version = content.partition(":")
    if kind == "kernel":
        return pack(tmp_path / name, "kernel:2.6.32.9:/etc/hostname")
    if kind == "bad":
        pkg = pack(tmp_path / name, f"app:{version}:{data_file(tmp_path / (name + '.d'), 200 * 1024)}")
        return damage(pkg, os.path.getsize(pkg) - 1)
    if kind == "bad-diags":
        return damage(pack(tmp_path / name, f"diags:{version}"), 200)
    pkg = pack(tmp_path / name, f"app:{version}" if kind == "short" else content)
    if kind == "short":
        with open(pkg, "r+b") as f:
            f.truncate(os.path.getsize(pkg) - 10)
    return pkg


OPEN1 = "Failed to open Application image 1. Trying image 2."
OPEN2 = "Failed to open Application image 2. Trying rescue image"
CRC1 = "Image1 CRC failed, trying Image2 now."
SHORT1 = "Image1 component of {} bytes cannot be read whole."
STARTED, RESET = "bladesim: application ended (status 0)", "bladesim: board rebooted (status 0)"
# What the launcher says on standard error on its way through the fallbacks (what starts
# in the end is the next test's): slot 1, slot 2, the rescue partition, the messages.
FALLBACKS = {
    "first file missing": (None, "app:5.0.2.2", "", [OPEN1]),
    "no slot file": (None, None, "", [OPEN1, OPEN2]),
    "no application": ("kernel", "app:5.0.2.2", "",
                       ["Image has invalid header 0x3504f4c. (0x6504f4c)",
                        "Image1 has invalid header... trying Image2."]),
    "bad CRC": ("bad:5.0.2.1", "app:5.0.2.2", "", [CRC1]),
    "bad CRC twice": ("bad:5.0.2.1", "bad:5.0.2.2", "", [CRC1, "Both image1 and image2 failed."]),
    "bad CRC, no application": ("bad:5.0.2.1", "kernel", "",
                                [CRC1, "No valid application image found. Trying rescue image"]),
    "cut short": ("short:5.0.2.1", None, "", None),
    "unusable rescue partition": (None, None, "/dev/null", [OPEN1, OPEN2, "Image not found... "]),
    "rescue with a bad CRC": (None, None, "bad-diags:4.2.0.9",
                              [OPEN1, OPEN2, "Image CRC failed. Quitting"]),
}


@pytest.mark.parametrize("case", FALLBACKS)
def test_fallback_messages(board, tmp_path, case):
    slot1, slot2, rescue, said = FALLBACKS[case]
    board.slot(1, slot_package(tmp_path, slot1, "one.pkg"))
    board.slot(2, slot_package(tmp_path, slot2, "two.pkg"))
    if rescue:
        board.rescue(rescue if rescue.startswith("/") else slot_package(tmp_path, rescue, "r.pkg"))
    if said is None:  # the cut-short package, whose length the message names
        short = SHORT1.format(os.path.getsize(board.user("images", "image1")) - 6)
        said = [short, CRC1, "Failed to open Application image 2. Trying image 1.", short,
                "Both image1 and image2 failed."]
    errors = tmp_path / "stderr.txt"
    con = board.boot(stderr=errors)
    con.finish()
    if board.build == "system":  # the launcher's errors go to the console, as on the blade
        assert [line for line in con.output().splitlines() if line in said] == said
    else:
        assert [line for line in open(errors).read().splitlines() if line.strip()] == said
    if case == "bad CRC twice" and board.build != "system":  # nothing of it is left behind
        assert not os.path.exists(board.tmp("vemiximage.tar.gz"))


def test_an_intact_image_on_the_blade_always_starts(host_board, tmp_path):
    """Every combination of two slots and the rescue partition: the first intact slot
    starts, else the rescue partition's image, and only with nothing intact the board
    resets. The booted-slot record names what started; a reset leaves it alone."""
    board = host_board
    states = {"good": "app:5.0.3.{}", "missing": None, "no application": "kernel",
              "bad CRC": "bad:5.0.3.{}", "cut short": "short:5.0.3.{}"}
    slots = {(n, state): slot_package(tmp_path, content and content.format(n), f"{n}-{i}.pkg")
             for n in (1, 2) for i, (state, content) in enumerate(states.items())}
    rescues = {"application": pack(tmp_path / "r-app.pkg", "app:6.1.0.3"),
               "diagnostics": pack(tmp_path / "r-diags.pkg", "diags:4.2.0.9"),
               "unusable": slot_package(tmp_path, "bad-diags:4.2.0.8", "r-bad.pkg")}
    for s1, s2, rescue in itertools.product(states, states, rescues):
        case, diagnostics = (s1, s2, rescue), False
        board.slot(1, slots[1, s1])
        board.slot(2, slots[2, s2])
        board.rescue(rescues[rescue])
        board.eeprom(BOOTED_SLOT, 7)
        con = board.boot()
        if s1 == "good" or s2 == "good":
            slot = 1 if s1 == "good" else 2
            started, booted = app_line(f"5.0.3.{slot}"), slot
        elif rescue == "application":
            con.answer(QUESTION, "\r")
            started, booted = app_line("6.1.0.3"), 4
        elif rescue == "diagnostics":
            started, booted = "mp.elf.strip: demo diagnostics 4.2.0.9", 4
            diagnostics = True
        else:
            started, booted = None, 7
        ending = con.finish()
        assert ending == (STARTED if started else RESET), case
        assert started is None or started in con.output(), case
        assert board.eeprom(BOOTED_SLOT) == booted, case
        # Diagnostics start in the application's place.
        assert ("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip" in board.commands()) == \
            diagnostics, case


@pytest.mark.parametrize("fault,said", [
    ("tmpfull", "Failed to write application image output file."),
    ("tmp-create", "Failed to open application image output file."),
    ("backtrace-noexec", "Failed to start Application OS."),
])
def test_boot_that_cannot_launch_resets(board, tmp_path, fault, said):
    board.fault(fault)
    errors = tmp_path / "stderr.txt"
    con = board.boot(stderr=errors)
    assert con.finish().startswith(REBOOTED)
    if board.build == "system":  # standard error is the console, as on the blade
        assert said in con.output()
    else:  # said on standard error, and only there
        assert said in open(errors).read() and said not in con.output()
    unpacked = any("tar mxzf" in c for c in board.commands())
    assert unpacked == (fault == "backtrace-noexec")


# A slot whose application does not unpack: what makes it fail, and how the boot goes on.
@pytest.mark.parametrize("case", ["damaged archive", "no program", "tmp-small"])
def test_slot_that_does_not_unpack_falls_back(board, tmp_path, case):
    if case == "tmp-small":
        board.fault("tmp-small")
    else:
        content = tmp_path / "a.tar.gz"
        if case == "damaged archive":
            data_file(content, 50 * 1024)
        else:
            subprocess.run(["tar", "czf", content, "-C", "/etc", "hostname"], check=True)
        board.slot(1, pack(tmp_path / "s1.pkg", f"app:5.0.9.1:{content}"))
    board.eeprom(BOOTED_SLOT, 7)
    errors = tmp_path / "stderr.txt"
    con = board.boot(stderr=errors)
    ending = con.finish()
    said = con.output() if board.build == "system" else open(errors).read()
    assert "Failed to unpack Application OS.\nImage1 could not be unpacked, trying Image2 now.\n" \
        in said
    if case == "tmp-small":
        # No image unpacks in so small a /tmp: both slots, then the rescue partition's
        # diagnostics, each recorded as it is tried, then the reset.
        assert ending.startswith(REBOOTED)
        assert "Both image1 and image2 failed." in said
        assert board.eeprom(BOOTED_SLOT) == 4
        assert board.commands().count(UNPACK) >= 2
    else:
        assert ending == "bladesim: application ended (status 0)"
        assert app_line("5.0.1.2") in con.output()
        assert board.eeprom(BOOTED_SLOT) == 2
        assert board.commands().count(UNPACK) == 2


# --- the rescue partition holding an application ----------------------------------------
@pytest.fixture
def recovery_board(board, tmp_path):
    board.slot(1, None)
    board.slot(2, None)
    board.rescue(pack(tmp_path / "recovery.pkg", "app:6.1.0.3"))
    return board


QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "


@pytest.mark.parametrize("answer", ["1", "2"])
def test_recovery_image_installed_into_a_slot(recovery_board, tmp_path, answer):
    board = recovery_board
    # What a power cut left of an earlier slot write takes no room after the next start.
    os.makedirs(board.user("images"), exist_ok=True)
    for stale in (".image1.new", ".image2.new"):
        with open(board.user("images", stale), "wb") as f:
            f.write(b"half a package")
    con = board.boot()
    con.answer(QUESTION, answer + "\r")
    con.expect(f"\nInstalling recovery image as image{answer}...\n".replace("\n", "\r\n"))
    con.expect(f"Setting boot image to {answer}")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert app_line("6.1.0.3") in con.output()
    with open(tmp_path / "recovery.pkg", "rb") as f:
        assert open(board.user("images", f"image{answer}"), "rb").read() == f.read()
    assert board.eeprom(BOOT_SLOT) == int(answer)
    assert board.eeprom(BOOTED_SLOT) == int(answer)
    # Written beside the slot and renamed over it, as the installer does.
    renames = [(e["from"], e["to"]) for e in board.journal() if e["event"] == "rename"]
    assert board.build == "system" or renames[:1] == [  # the device library journals renames
        (f"/user/images/.image{answer}.new", f"/user/images/image{answer}")]
    assert sorted(os.listdir(board.user("images"))) == [f"image{answer}"]


@pytest.mark.parametrize("how", ["Enter", "end of input"])
def test_recovery_image_booted_without_installing(recovery_board, how):
    board = recovery_board
    board.eeprom(BOOTED_SLOT, 7)
    con = board.boot()
    if how == "Enter":
        con.answer(QUESTION, "\r")
    else:
        con.expect(QUESTION)
        con.end_input()
    con.expect("Booting recovery image. You will need to download and install an image "
               "before rebooting")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert app_line("6.1.0.3") in con.output()
    # Either way the rescue partition is recorded as booted.
    assert board.eeprom(BOOTED_SLOT) == 4
    assert board.eeprom(BOOT_SLOT) == 1
    assert not os.path.exists(board.user("images", "image1"))

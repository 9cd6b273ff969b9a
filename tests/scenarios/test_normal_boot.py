# SPDX-License-Identifier: MIT
"""A plain boot: the slot from the VPD record, the fallbacks, the rescue partition."""
import os

import pytest

from conftest import damage, data_file, pack

BOOT_SLOT, BOOTED_SLOT = 1, 59


def app_line(version):
    return f"mp.elf.strip: demo application {version}"


@pytest.mark.parametrize("record,slot", [(1, 1), (2, 2), (0xFF, 1), (0x00, 1), (3, 1)])
def test_slot_named_by_the_eeprom(board, record, slot):
    board.eeprom(BOOT_SLOT, record)
    con = board.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    out = con.output()
    assert f"Booting image '{slot}'\n" in out
    assert app_line(f"5.0.1.{slot}") in out
    assert board.eeprom(BOOTED_SLOT) == slot
    assert board.eeprom(BOOT_SLOT) == record


def test_unreadable_eeprom_boots_slot_1(board):
    board.eeprom(BOOT_SLOT, 2)
    con = board.boot("--fault", "eeprom-read")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "Booting image '1'\n" in con.output()


def test_normal_start_unpacks_and_replaces_the_launcher(board):
    con = board.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    events = board.journal()
    assert board.commands()[-1] == "cd /tmp \ntar mxzf /tmp/vemiximage.tar.gz \nrm /tmp/vemiximage.tar.gz\n"
    # The archive's members are under /tmp and the archive itself is gone.
    assert os.access(board.tmp("home", "bin", "mp.elf.strip"), os.X_OK)
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


# --- the fallback rows -------------------------------------------------------------------
def kernel_only(tmp_path):
    return pack(tmp_path / "kernel.pkg", "kernel:2.6.32.9:/etc/hostname")


def bad_crc(tmp_path, name, version):
    """An application longer than any buffer the launcher reads through, its last byte
    changed: the CRC fails only after most of the archive has been written."""
    pkg = pack(tmp_path / name, f"app:{version}:{data_file(tmp_path / (name + '.data'), 200 * 1024)}")
    return damage(pkg, os.path.getsize(pkg) - 1)


def run_fallback(board, tmp_path, slot1, slot2, stderr_lines, stdout_has, ending):
    board.slot(1, slot1)
    board.slot(2, slot2)
    errors = tmp_path / "stderr.txt"
    con = board.boot(stderr=errors)
    assert con.finish() == ending
    got = [l for l in open(errors).read().splitlines() if l.strip()]
    assert got == stderr_lines
    out = con.output()
    for text in stdout_has:
        assert text in out
    return out


def test_first_slot_missing_boots_the_other_file(board, tmp_path):
    out = run_fallback(board, tmp_path, None, pack(tmp_path / "two.pkg", "app:5.0.2.2"),
                       ["Failed to open Application image 1. Trying image 2."],
                       ["Booting image '1'\n", app_line("5.0.2.2")],
                       "bladesim: application ended (status 0)")
    assert out.count("Booting image") == 1
    # The record names the slot whose file was booted.
    assert board.eeprom(BOOTED_SLOT) == 2


def test_neither_slot_file_boots_the_rescue_partition(board, tmp_path):
    out = run_fallback(board, tmp_path, None, None,
                       ["Failed to open Application image 1. Trying image 2.",
                        "Failed to open Application image 2. Trying rescue image"],
                       ["Launching diagnostics image\n", "install diags image\n",
                        "mp.elf.strip: demo diagnostics 4.2.0.1"],
                       "bladesim: application ended (status 0)")
    assert out.count("Booting image") == 1
    assert board.eeprom(BOOTED_SLOT) == 4
    assert "mkdir -p /tmp/home/bin" in board.commands()
    assert "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip" in board.commands()


def test_no_application_component_tries_the_other_slot(board, tmp_path):
    out = run_fallback(board, tmp_path, kernel_only(tmp_path), pack(tmp_path / "two.pkg", "app:5.0.2.2"),
                       ["Image has invalid header 0x3504f4c. (0x6504f4c)",
                        "Image1 has invalid header... trying Image2."],
                       [app_line("5.0.2.2")], "bladesim: application ended (status 0)")
    assert "Booting image '1'\nBooting image '2'\n" in out
    assert board.eeprom(BOOTED_SLOT) == 2


def test_crc_failure_tries_the_other_slot(board, tmp_path):
    run_fallback(board, tmp_path, bad_crc(tmp_path, "one.pkg", "5.0.2.1"),
                 pack(tmp_path / "two.pkg", "app:5.0.2.2"),
                 ["Image1 CRC failed, trying Image2 now."], [app_line("5.0.2.2")],
                 "bladesim: application ended (status 0)")


def test_crc_failure_in_both_slots_resets_without_the_rescue_image(board, tmp_path):
    out = run_fallback(board, tmp_path, bad_crc(tmp_path, "one.pkg", "5.0.2.1"),
                       bad_crc(tmp_path, "two.pkg", "5.0.2.2"),
                       ["Image1 CRC failed, trying Image2 now.", "Both image1 and image2 failed."],
                       [], "bladesim: board rebooted (status 0)")
    assert "diagnostics" not in out
    assert board.eeprom(BOOTED_SLOT) == 1  # untouched
    assert not os.path.exists(board.p("tmp", "vemiximage.tar.gz"))


def test_crc_failure_then_no_application_uses_the_rescue_image(board, tmp_path):
    run_fallback(board, tmp_path, bad_crc(tmp_path, "one.pkg", "5.0.2.1"), kernel_only(tmp_path),
                 ["Image1 CRC failed, trying Image2 now.",
                  "No valid application image found. Trying rescue image"],
                 ["Launching diagnostics image"], "bladesim: application ended (status 0)")
    assert board.eeprom(BOOTED_SLOT) == 4


def test_component_cut_short_is_rejected_like_a_bad_crc(board, tmp_path):
    one = pack(tmp_path / "one.pkg", "app:5.0.2.1")
    with open(one, "r+b") as f:
        f.truncate(os.path.getsize(one) - 10)
    run_fallback(board, tmp_path, one, None,
                 ["Image1 component of {} bytes cannot be read whole.".format(os.path.getsize(one) - 6),
                  "Image1 CRC failed, trying Image2 now.",
                  "Failed to open Application image 2. Trying image 1.",
                  "Image1 component of {} bytes cannot be read whole.".format(os.path.getsize(one) - 6),
                  "Both image1 and image2 failed."],
                 [], "bladesim: board rebooted (status 0)")


def test_unusable_rescue_partition_resets(board, tmp_path):
    board.rescue("/dev/null")
    run_fallback(board, tmp_path, None, None,
                 ["Failed to open Application image 1. Trying image 2.",
                  "Failed to open Application image 2. Trying rescue image",
                  "Image not found... "],
                 [], "bladesim: board rebooted (status 0)")


def test_rescue_component_with_bad_crc(board, tmp_path):
    board.rescue(damage(pack(tmp_path / "r.pkg", "diags:4.2.0.9"), 200))
    run_fallback(board, tmp_path, None, None,
                 ["Failed to open Application image 1. Trying image 2.",
                  "Failed to open Application image 2. Trying rescue image",
                  "Image CRC failed. Quitting"],
                 [], "bladesim: board rebooted (status 0)")


@pytest.mark.parametrize("fault,said", [
    ("tmpfull", "Failed to write application image output file."),
    ("tmp-create", "Failed to open application image output file."),
    ("backtrace-noexec", "Failed to start Application OS."),
])
def test_boot_that_cannot_launch_resets(board, tmp_path, fault, said):
    board.fault(fault)
    errors = tmp_path / "stderr.txt"
    con = board.boot(stderr=errors)
    assert con.finish() == "bladesim: board rebooted (status 0)"
    # Said on standard error, and only there.
    assert said in open(errors).read() and said not in con.output()
    unpacked = any("tar mxzf" in c for c in board.commands())
    assert unpacked == (fault == "backtrace-noexec")


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
    con.expect(QUESTION)
    con.send(answer + "\r")
    con.expect(f"\nInstalling recovery image as image{answer}...\n".replace("\n", "\r\n"))
    con.expect(f"Setting boot image to {answer}")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert app_line("6.1.0.3") in con.output()
    with open(tmp_path / "recovery.pkg", "rb") as f:
        assert open(board.user("images", f"image{answer}"), "rb").read() == f.read()
    assert board.eeprom(BOOT_SLOT) == int(answer)
    assert board.eeprom(BOOTED_SLOT) == int(answer)
    # Written beside the slot and renamed over it, as the installer does.
    assert {"event": "rename", "from": f"/user/images/.image{answer}.new",
            "to": f"/user/images/image{answer}"}.items() <= next(
        e for e in board.journal() if e["event"] == "rename").items()
    assert sorted(os.listdir(board.user("images"))) == [f"image{answer}"]


def test_recovery_image_booted_without_installing(recovery_board):
    board = recovery_board
    con = board.boot()
    con.expect(QUESTION)
    con.send("\r")
    con.expect("Booting recovery image. You will need to download and install an image before rebooting")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert board.eeprom(BOOTED_SLOT) == 4
    assert board.eeprom(BOOT_SLOT) == 1
    assert not os.path.exists(board.user("images", "image1"))


def test_recovery_question_at_end_of_input_records_nothing(recovery_board):
    board = recovery_board
    board.eeprom(BOOTED_SLOT, 7)
    con = board.boot()
    con.expect(QUESTION)
    con.child.sendeof()
    assert con.finish() == "bladesim: application ended (status 0)"
    assert app_line("6.1.0.3") in con.output()
    assert board.eeprom(BOOTED_SLOT) == 7
    assert not os.path.exists(board.user("images", "image1"))

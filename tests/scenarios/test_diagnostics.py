# SPDX-License-Identifier: MIT
"""The diagnostics boot: the optional filesystem wipe, then the rescue partition's image."""
import os
import subprocess
import time

import pytest

from conftest import REBOOTED, BLADESIM

QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
WIPE = ["/bin/umount /user >/dev/null 2>&1",
        "flash_eraseall /dev/mtd-user-char",
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user >/dev/null 2>&1",
        "mkdir /user/images >/dev/null 2>&1"]


@pytest.mark.parametrize("key", ["y", "Y", "n", "\r", "x"])
def test_wipe_then_diagnostics(board, key):
    board.env("diagnostics=diags")
    open(board.user("config.txt"), "w").write("saved settings\n")
    con = board.boot()
    con.answer(QUESTION, key)
    # The key is not shown: a line end follows the question at once.
    if key in "yY":
        con.expect("\r\nunmount filesystem\r\n\r\nErasing filesystem for clean install\r\n")
        # flash_eraseall's own progress lines come between.
        con.expect("\r\nMounting...\r\ncreating default filesystem\r\n")
    con.expect(("" if key in "yY" else "\r\n") +
               "Booting diags image...\r\nLaunching diagnostics image\r\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo diagnostics 4.2.0.1" in con.output()
    assert board.eeprom(59) == 4
    cmds = board.commands()
    if key not in "yY":
        assert cmds[1].startswith("cd /tmp \ntar mxzf /tmp/vemiximage.tar.gz")
        assert os.path.exists(board.user("images", "image1"))
        return
    assert cmds[1:5] == WIPE
    assert os.listdir(board.user()) == ["images"] and os.listdir(board.user("images")) == []
    if board.build == "system":
        return  # its real JFFS2 mount has written the new filesystem's first nodes
    erase = [e for e in board.journal() if e["event"] == "flash_eraseall"]
    assert erase == [dict(erase[0], device="/dev/mtd-user-char", user_mounted=False)]
    assert board.flash("user") == b"\xff" * len(board.flash("user"))


def test_wipe_from_the_menu_with_no_rescue_image(board):
    board.env("diagnostics=rescue")
    board.rescue("/dev/null")
    con = board.boot()
    con.menu("d")
    con.answer(QUESTION, "y")
    con.expect("Booting diags image...\r\n")
    con.expect("Image not found... \r\n")
    con.menu("H")  # the menu again, and both slots are gone
    con.expect("\tOS image 1  : 0.0.0.0\r\n\tOS image 2  : 0.0.0.0\r\n")
    con.menu("E")
    # The normal boot finds no slot and no rescue image.
    con.expect("Failed to open Application image 1. Trying image 2.")
    assert con.finish().startswith(REBOOTED)


@pytest.mark.preload_only("bladesim exec reaches a preload board's namespaces only")
def test_still_mounted_user_filesystem_is_not_erased(board):
    board.env("diagnostics=diags")
    con = board.boot()
    con.expect(QUESTION)
    # Something on the blade keeps a file of /user open, so the unmount fails.
    holder = subprocess.Popen(["/usr/bin/python3", BLADESIM, "exec", "--wait", "10", board.path,
                               "--", "sh", "-c", "exec sleep 60 < /user/images/image1"])
    try:
        deadline = time.time() + 10
        while not any(p for p in os.listdir("/proc") if p.isdigit() and _is_holder(p)):
            assert time.time() < deadline
            time.sleep(0.05)
        con.reading()
        con.send("y")
        con.expect("unmount filesystem\r\n/user is still mounted; the filesystem is not erased\r\n"
                   "Booting diags image...\r\n")
        assert con.finish() == "bladesim: application ended (status 0)"
    finally:
        holder.kill()
        subprocess.run(["pkill", "-f", "sleep 60"])
    assert "flash_eraseall /dev/mtd-user-char" not in board.commands()
    assert os.path.exists(board.user("images", "image1"))


def _is_holder(pid):
    try:
        return open(f"/proc/{pid}/cmdline", "rb").read() == b"sleep\x0060\x00"
    except OSError:
        return False

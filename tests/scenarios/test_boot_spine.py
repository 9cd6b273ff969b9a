# SPDX-License-Identifier: MIT
"""Start-up: the user filesystem mount, Ctrl-C, the board reset."""
import time

MOUNT = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"


def test_mount_command_and_user_filesystem(board):
    con = board.boot()
    last = con.finish()
    mounts = [e for e in board.journal() if e["event"] == "mount"]
    assert mounts and mounts[0]["argv"] == ["-o", "sync", "-t", "jffs2", "/dev/mtd-user", "/user"]
    assert board.commands()[0] == MOUNT
    assert last == "bladesim: application ended (status 0)"
    # The slot package was read from the user filesystem the mount made.
    assert "mp.elf.strip: demo application 5.0.1.1" in con.output()


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
    board.fault("system")
    board.rescue("/dev/null")
    con = board.boot()
    assert con.finish() == "bladesim: bladeboot exited (status 0)"
    assert "System reboot failed, please power-cycle.\n" in con.output()
    assert board.commands()[-1] == "reboot"
    assert not any(e["event"] == "reboot" for e in board.journal())

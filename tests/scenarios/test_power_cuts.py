# SPDX-License-Identifier: MIT
"""The power fails at every erase or write point of an install, of the recovery copy and of
the filesystem wipe in turn. At every point, the next start must launch an application
(an image slot's or the rescue partition's): the blade never loops through resets while
an image it could start is intact. A flash partition cut mid-write is left damaged (the
blade cannot protect it); these sweeps keep a startable image elsewhere and assert what
holds: the start."""
import json
import os
import shutil
import subprocess

import pytest

from conftest import BLADESIM, TIME_SCALE, data_file, pack, padded_archive

STARTED = "bladesim: application ended (status 0)"
CUT = "bladesim: power cut"
INSTALL = b"T10.77.1.2\r\r\r10.77.0.1\rpkg.bin\r1\n"


def boot(board, keys, *extra):
    """A boot whose console is a pipe of `keys`; bladesim's closing line."""
    r = subprocess.run(["/usr/bin/python3", BLADESIM, "boot", board.path, "--time-scale",
                        TIME_SCALE, *extra], input=keys, capture_output=True, timeout=120)
    out = r.stdout.decode("latin-1")
    return out[out.rindex("bladesim: "):].strip()


def restore(board, pristine):
    """Puts back every flash file that changed, the EEPROM and the user filesystem."""
    for name in os.listdir(os.path.join(pristine, "flash")) + ["../eeprom.bin"]:
        saved, used = os.path.join(pristine, "flash", name), board.p("flash", name)
        if os.stat(saved).st_mtime_ns != os.stat(used).st_mtime_ns:
            shutil.copy2(saved, used)
    shutil.rmtree(board.p("user"))
    shutil.copytree(os.path.join(pristine, "user"), board.p("user"))


def sweep(board, tmp_path, capsys, name, keys, *extra):
    """Cuts the action at its first, second, ... write point until it runs to its end;
    after each cut the board starts again with no option set and nobody at the console,
    and each image slot holds a whole package, the old one or the new one, or none."""
    pristine = str(tmp_path / "pristine")
    shutil.copytree(board.path, pristine, ignore=shutil.ignore_patterns("tmp", "run", "tftp"))
    points = started = 0
    while True:
        restore(board, pristine)
        board.fault(f"cut@{points + 1}")
        ending = boot(board, keys, *extra)
        board.fault("--clear")
        if ending != CUT:
            break
        points += 1
        board.env("diagnostics=")
        slots = json.loads(subprocess.run(["/usr/bin/python3", BLADESIM, "show", board.path,
                                           "--json"], capture_output=True).stdout)["slots"]
        assert all(s["check"] in ("good", "no slot file") for s in slots.values()), slots
        after = boot(board, b"")
        assert after == STARTED, f"{name}: cut at write {points}: {after}"
        started += 1
    with capsys.disabled():
        print(f"\n{name}: {points} write points cut, the next start launched an application "
              f"after {started}")
    assert ending != CUT and points > 0
    return points


@pytest.fixture
def board(host_board):
    return host_board


# The application the launcher can start, and one it cannot (its archive lacks the
# program), which is refused once the kernel is written: no cut leaves a slot recorded that
# cannot start.
@pytest.mark.parametrize("app,points", [("demo", 66), ("without its program", 65)])
def test_kernel_and_application_install(board, tmp_path, capsys, app, points):
    pkg = tmp_path / "pkg.bin"
    content = "app:7.3.0.0"
    if app != "demo":
        subprocess.run(["tar", "czf", tmp_path / "a.tar.gz", "-C", "/etc", "hostname"], check=True)
        content += f":{tmp_path / 'a.tar.gz'}"
    pack(pkg, f"kernel:2.6.42.0:{data_file(tmp_path / 'k', 1000)}", content)
    slot = open(board.user("images", "image1"), "rb").read()
    board.env("diagnostics=rescue")
    # 1 erase and 64 writes of the kernel's block, then the slot file's one piece.
    assert sweep(board, tmp_path, capsys, f"kernel + application ({app}) install", INSTALL,
                 "--fault", "notftp", "--image", str(pkg)) == points
    if app != "demo":
        assert open(board.user("images", "image1"), "rb").read() == slot
        assert board.eeprom(1) == 1


def test_recovery_copy(board, tmp_path, capsys):
    board.slot(1, None)
    board.slot(2, None)
    board.rescue(pack(tmp_path / "recovery.pkg",
                      f"app:6.1.0.3:{padded_archive(tmp_path, '6.1.0.3', 200 * 1024)}"))
    # The slot file's four 64 KiB pieces.
    assert sweep(board, tmp_path, capsys, "recovery copy into slot 2", b"2\n") == 4
    assert os.path.getsize(board.user("images", "image2")) == os.path.getsize(
        tmp_path / "recovery.pkg")


def test_filesystem_wipe(board, tmp_path, capsys):
    board.env("diagnostics=diags")
    # One point for each of the user partition's 256 erase blocks.
    assert sweep(board, tmp_path, capsys, "filesystem wipe", b"y") == 256

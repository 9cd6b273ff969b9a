# SPDX-License-Identifier: MIT
"""The simulator's own commands: a board decoded, the last boot drawn, friendly errors."""
import json
import os
import shutil
import subprocess

import pytest

from conftest import damage, pack, sim


def test_show_decodes_what_the_launcher_will_see(host_board, tmp_path):
    board = host_board
    two = damage(pack(tmp_path / "two.pkg", "app:5.0.9.2"), 100)
    board.slot(2, two)
    # After the defaults' 157 bytes and the two settings' 26, the padding puts memchk=on
    # on the last of the 1280 bytes the launcher reads after the checksum; shell=on lies
    # past them and stays off.
    board.env("gdbserver=on", "gdbport=4321", "pad=" + "x" * 1083, "memchk=on", "shell=on")
    board.eeprom(1, 2)
    report = json.loads(sim("show", board.path, "--json").stdout)
    env = report["environment"]
    assert (env["gdb"], env["gdbserver"], env["gdbport"], env["memchk"], env["shell"]) == (
        True, True, 4321, True, False)
    assert [s.split("=")[0] for s in report["beyond_window"]] == ["shell"]
    assert "lies past the 1280 bytes" in sim("env", board.path).stderr
    assert report["eeprom"] == {"boot_slot": 2, "booted_slot": 1}
    assert report["partitions"]["kernel"]["check"] == "good"
    assert report["slots"]["1"]["check"] == "good"
    assert report["slots"]["2"] == {"type": "app", "version": "5.0.9.2",
                                    "length": os.path.getsize(two) - 16, "check": "bad CRC"}
    assert report["last_boot"] is None


@pytest.mark.parametrize("scale", ["1", "0.001"])
def test_timeline_of_the_last_boot(host_board, scale):
    con = host_board.boot(time_scale=scale)
    con.finish()
    svg = sim("timeline", host_board.path).stdout
    assert svg.startswith("<svg") and svg.rstrip().endswith("</svg>")
    assert "exec: /bin/backtrace" in svg and "end: application" in svg
    assert sim("show", host_board.path).stdout.rstrip().endswith("last boot       application")
    # At every time scale every mark falls inside the boot, which lasts at least its
    # pauses; the EEPROM's record is read and written, the launch pause drawn.
    drawn = json.loads(sim("timeline", host_board.path, "--json").stdout)
    marks = drawn["marks"]
    assert all(0 <= m["start"] and m["start"] + m["length"] <= drawn["total"] + 1e-6
               for m in marks), marks
    pauses = [m for m in marks if m["kind"] == "pause"]
    assert drawn["total"] >= sum(m["length"] for m in pauses) and pauses[-1]["length"] == 1.0
    assert [m["label"] for m in marks if m["kind"] == "eeprom"] == ["EEPROM read 1: 1",
                                                                    "EEPROM write 59: 1"]


def test_friendly_errors(host_board, tmp_path):
    for args, said in ((["fault", host_board.path, "kernel:melt"], "unknown fault 'kernel:melt'"),
                       (["slot", host_board.path, "1", str(tmp_path / "none")], "cannot read"),
                       (["rescue", host_board.path, str(tmp_path / "none")], "cannot read"),
                       (["show", str(tmp_path)], "is not a board"),
                       (["eeprom", host_board.path, "x"], "offset 'x' is not a number"),
                       (["boot", host_board.path, "--image", str(tmp_path / "none")],
                        "cannot read"),
                       (["pack", str(tmp_path / "y.pkg"), "foo:1.0.0.1"],
                        "unknown component type 'foo'"),
                       (["pack", str(tmp_path / "y.pkg"), "app:1.0"], "bad version '1.0'")):
        r = sim(*args, check=False)
        assert r.returncode == 1 and said in r.stderr and "Traceback" not in r.stderr, args
    # Half a board (what an interrupted copy leaves) is refused with the way out.
    shutil.copytree(host_board.p("flash"), tmp_path / "half" / "flash")
    r = sim("show", str(tmp_path / "half"), check=False)
    assert r.returncode == 1 and "is not a whole board" in r.stderr and "rm -r" in r.stderr
    # A board that is booting is not changed under the launcher.
    host_board.env("diagnostics=rescue")
    con = host_board.boot()
    con.expect("Option? : ")
    r = sim("env", host_board.path, "diagnostics=", check=False)
    assert r.returncode == 1 and "is booting" in r.stderr
    # One boot of a board at a time.
    r = sim("boot", host_board.path, check=False, stdin=subprocess.DEVNULL)
    assert r.returncode == 1 and "is booting already: one boot of a board at a time" in r.stderr
    con.send("E")
    con.finish()
    assert os.path.exists(host_board.user("images", "image1"))

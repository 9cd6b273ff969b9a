# SPDX-License-Identifier: MIT
"""The fault table of sim/board.json against the code: every row acts somewhere, in the
place its row names, and no code names a fault that has no row."""
import glob
import json
import os
import re
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator import description, sandbox  # noqa: E402


def text(*patterns):
    out = ""
    for pattern in patterns:
        for path in sorted(glob.glob(os.path.join(REPO, pattern))):
            out += open(path).read()
    return out


# Where each kind of row acts, and how code there names a fault.
PLACES = {
    "devices": (text("sim/preload/*.cpp"), r"board::fault::(\w+)"),
    "sandbox": (text("sim/simulator/sandbox.py"), r'FAULT\["([^"]+)"\]'),
    "lab": (text("sim/simulator/lab.py"), r'FAULT\["([^"]+)"\]'),
    "stubs": (text("sim/stubs/*"), r"\$\{?FAULT_(\w+)"),
}
# The system board's own code, for a devices row it also takes.
SYSTEM = (text("sim/simulator/boot.py", "sim/simulator/sysboard.py"), r'FAULT\["([^"]+)"\]')


def named(place):
    source, pattern = place
    return set(re.findall(pattern, source))


def code_name(row, pattern):
    """The name a row goes by where PATTERN looks for it."""
    if "board::fault" in pattern:
        return description.const_name(row)
    if "FAULT_" in pattern:
        return description.const_name(row).upper()
    return row["name"]


def test_every_row_acts_where_it_says():
    idle = []
    board_paths = sandbox.board_files(BoardStub(), "/dev/pts/0").keys()
    for row in description.FAULTS:
        if "acts" in row:
            source, pattern = PLACES[row["acts"]]
            if code_name(row, pattern) not in named(PLACES[row["acts"]]):
                idle.append(f"{row['name']} (acts: {row['acts']})")
            if row["acts"] == "devices" and "system" in description.fault_kinds(row) and \
                    row["name"] not in named(SYSTEM):
                idle.append(f"{row['name']} (on system boards)")
        else:
            # A file the fault takes off the board must be one the board has.
            path = row.get("absent") or row.get("not_a_program")
            if path not in board_paths:
                idle.append(f"{row['name']} (takes {path}, which the board does not have)")
    assert not idle, "fault rows that act nowhere: " + ", ".join(idle)


def test_no_code_names_a_fault_without_a_row():
    rows = description.FAULTS
    cpp = {description.const_name(r) for r in rows} | {"kBlockKinds"}
    shell = {description.const_name(r).upper() for r in rows}
    python = {r["name"] for r in rows}
    unknown = (named(PLACES["devices"]) - cpp) | (named(PLACES["stubs"]) - shell)
    unknown |= named((text("tests/fuzz/*.cpp", "tests/fuzz/*.h"), r"board::fault::(\w+)")) - cpp
    unknown |= named((text("sim/simulator/*.py", "bench/*.py"), r'FAULT\["([^"]+)"\]')) - python
    assert not unknown, "faults named in code without a row in sim/board.json: " + \
        ", ".join(sorted(unknown))


class BoardStub:
    """Enough of a board for the list of files the sandbox puts where the blade has them."""
    path = "/nonexistent"

    def p(self, *parts):
        return os.path.join(self.path, *parts)

    def flash(self, name):
        return self.p("flash", name)


def test_stand_ins_journal_any_argument_as_json(tmp_path):
    settings, journal = tmp_path / "board.sh", tmp_path / "journal.jsonl"
    settings.write_text(description.shell_settings([]))
    args = ["plain", 'a "quoted" word', "back\\slash", "two\nlines", "tab\tand\rreturn",
            "\x01\x1b[A\x7f", "caf\u00e9", ""]
    script = ('. "$0"; journal probe "\\"argv\\": $(json_args "$@")"; '
              'journal probe "\\"device\\": \\"$(json_escape "$1")\\""')
    subprocess.run(["busybox", "sh", "-c", script, os.path.join(REPO, "sim/stubs/journal.sh")]
                   + args, check=True, env={"PATH": os.environ["PATH"], "BLADESIM_JOURNAL":
                                            str(journal), "BLADESIM_SETTINGS": str(settings)})
    lines = journal.read_text().splitlines()
    # Bytes from 127 up are written as \u00XX, one character each, as the device library does.
    as_bytes = [a.encode().decode("latin-1") for a in args]
    assert [json.loads(line).get("argv") for line in lines] == [as_bytes, None]
    assert json.loads(lines[1])["device"] == "plain"

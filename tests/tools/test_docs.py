# SPDX-License-Identifier: MIT
"""Every command of the README and of docs/ runs as written: each ```sh block that is safe
to run here runs whole, in a scratch directory that sees the tree's sim/, build/ and
scripts/; a block with a command that is not (the test command itself, a build, a boot on
a terminal, a slow run) has each of its commands checked instead: the program exists, and
the options and presets it names are ones it has."""
import json
import os
import re
import shlex
import shutil
import subprocess

import pexpect
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGES = ["README.md"] + [os.path.join("docs", n) for n in sorted(os.listdir(
    os.path.join(REPO, "docs"))) if n.endswith(".md")]
# Commands that are checked, not run: they take long, build, or want a terminal or a
# booting board.
NOT_RUN = re.compile(r"^(\./scripts/|scripts/|cmake |ctest |DESTDIR=|bench/|build/bench/|"
                     r"BLADEBOOT_SKIP|python3 -m pytest|sim/bladesim (send|exec|build) |"
                     r"picocom |telnet )")


def blocks(page):
    return re.findall(r"```sh\n(.*?)```", open(os.path.join(REPO, page)).read(), re.S)


def commands(block):
    """The block's commands: continuation lines joined, comments dropped."""
    joined = re.sub(r"\\\n\s*", " ", block)
    for line in joined.splitlines():
        line = line.split(" #", 1)[0].strip() if not line.startswith("#") else ""
        if line:
            yield line


def presets():
    with open(os.path.join(REPO, "CMakePresets.json")) as f:
        return {p["name"] for p in json.load(f)["configurePresets"]}


def cmake_options():
    lists = subprocess.run(["git", "ls-files", "*CMakeLists.txt"], cwd=REPO, capture_output=True,
                           text=True).stdout.split()
    return {o for f in lists for o in re.findall(r"option\((\w+)", open(os.path.join(REPO, f)).read())}


def check(command):
    """A command that is not run: what it names must exist."""
    words = shlex.split(command)
    while words and "=" in words[0] and not words[0].startswith("-"):
        words = words[1:]  # VARIABLE=value before the command
    program = words[0]
    if program in ("cmake", "ctest"):
        for i, w in enumerate(words):
            if w == "--preset":
                assert words[i + 1] in presets(), command
            if w.startswith("-D") and "=" in w:
                name, value = w[2:].split("=", 1)
                assert name.startswith("CMAKE_") or name in cmake_options(), command
                if name == "CMAKE_TOOLCHAIN_FILE":
                    assert os.path.exists(os.path.join(REPO, value)), command
        return
    if program in ("python3", "picocom", "telnet"):
        assert shutil.which(program), command  # the test runner, a lab's client
        return
    path = os.path.join(REPO, program)
    assert os.path.isfile(path) and os.access(path, os.X_OK), command
    if program == "sim/bladesim" or program.startswith("bench/") and program.endswith(".py"):
        sub = words[1:2] if program == "sim/bladesim" else []
        r = subprocess.run([path, *sub, "--help"], capture_output=True, text=True)
        assert r.returncode == 0, (command, r.stderr)
        for option in (w.split("=")[0] for w in words[1:] if w.startswith("--")):
            assert option in r.stdout, (command, option)


@pytest.mark.parametrize("page", PAGES)
def test_commands_of_the_pages(page, tmp_path):
    """A page's blocks in order, in one scratch directory: a later block may use what an
    earlier one made, as a reader following the page would."""
    for name in ("sim", "build", "scripts"):
        os.symlink(os.path.join(REPO, name), tmp_path / name)
    (tmp_path / "boards").mkdir()
    for block in blocks(page):
        lines = list(commands(block))
        if any(NOT_RUN.match(line) for line in lines):
            for line in lines:
                check(line)
            continue
        r = subprocess.run(["sh", "-e", "-c", block], cwd=tmp_path, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=600)
        assert r.returncode == 0, f"{page}:\n{block}\n{r.stdout}\n{r.stderr}"


def test_demo_boots_its_board_again(tmp_path):
    """The README's first command, twice: the first makes the board, the second boots the
    board the first left. Each boot runs to its application's end and is ended by
    Ctrl-] then q, as the README says."""
    board = str(tmp_path / "default")
    for _ in range(2):
        demo = pexpect.spawn(os.path.join(REPO, "scripts", "demo"), [board], cwd=REPO,
                             encoding="utf-8", timeout=300)
        demo.expect("bladesim: application ended")
        demo.send("\x1d")
        demo.send("q")
        demo.expect(pexpect.EOF)
        demo.close()
        assert demo.exitstatus == 0, demo.before

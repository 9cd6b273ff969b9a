# SPDX-License-Identifier: MIT
"""Console scenarios: the real bladeboot on a simulated blade, driven through a pty."""
import io
import os
import shutil
import subprocess
import sys
import tarfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "sim"))
from simulator.harness import BLADESIM, TIME_SCALE, Board, sim  # noqa: E402,F401
HOST_BUILD = os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "host"))
PPC_BUILD = os.environ.get("BLADESIM_PPC_BUILD", os.path.join(REPO, "build", "ppc"))
BLADEPKG = os.path.join(HOST_BUILD, "tools", "bladepkg")

# bladesim's line for a reboot; a preload board adds the launcher's status, a system board's
# machine stops before the launcher could have one.
REBOOTED = "bladesim: board rebooted"

BUILDS = ["host"] + ([] if os.environ.get("BLADEBOOT_SKIP_PPC") == "1" else ["ppc"])
# Every kind of board: the preload board with either build, and the system board.
KINDS = BUILDS + ([] if os.environ.get("BLADEBOOT_SKIP_SYSTEM") == "1" else ["system"])


@pytest.fixture(scope="session")
def templates(tmp_path_factory):
    """The default installation for a build, made once: a PowerPC board's application and
    diagnostics are PowerPC programs."""
    made = {}

    def template(build):
        if build not in made:
            made[build] = tmp_path_factory.mktemp("template") / "board"
            sim("new", str(made[build]), *{"ppc": ["--ppc"], "system": ["--system"]}.get(build, []))
        return made[build]
    return template


# Whether the test's board runs PowerPC programs only: a system board's packages carry
# the PowerPC build of the demo programs.
PPC_ONLY = {"now": False}


def made_board(tmp_path, template, build):
    path = tmp_path / "board"
    shutil.copytree(template, path, symlinks=True)
    board = Board(path, build)
    PPC_ONLY["now"] = build == "system"
    yield board
    PPC_ONLY["now"] = False
    board.close()


def pytest_configure(config):
    config.addinivalue_line("markers", "preload_only(reason): a case the system board cannot "
                            "check, and why")


@pytest.fixture(params=KINDS)
def board(request, tmp_path, templates):
    """A board of each kind: the preload board with either build, and the system board,
    where a case runs unless it is marked preload_only."""
    only = request.node.get_closest_marker("preload_only")
    if request.param == "system" and only:
        pytest.skip(only.args[0])
    yield from made_board(tmp_path, templates(request.param), request.param)


@pytest.fixture
def host_board(tmp_path, templates):
    yield from made_board(tmp_path, templates("host"), "host")


@pytest.fixture
def debug_board(board, tmp_path):
    """A board for the debug modes. Debian has no PowerPC debug server, memory checker or
    debugger, so a PowerPC board's slots carry host builds of the application for them."""
    if board.build == "system":
        pytest.skip("Debian has no PowerPC debug server, memory checker or debugger")
    if board.build == "ppc":
        for n in (1, 2):
            board.slot(n, pack(tmp_path / f"host{n}.pkg", f"app:5.0.1.{n}"))
    return board


def back_at_menu_then_exit(con):
    """The rescue menu shown again; E leaves it. Returns bladesim's closing line."""
    con.expect("Please select one of the following options:")
    con.menu("E")
    return con.finish()


def attach_gdb(board, target=":1234", lab=False):
    """A real gdb runs the application under the board's debug server to its end: inside
    the board's own namespaces, or from the lab over eth1."""
    where = ["--lab"] if lab else ["--wait", "30"]
    r = subprocess.run(["/usr/bin/python3", BLADESIM, "exec", *where, board.path, "--", "gdb",
                        "-nx", "-batch", "-ex", f"target remote {target}", "-ex", "continue"],
                       capture_output=True, text=True, timeout=120)
    return r.stdout + r.stderr


def pack(out, *components, ppc=None):
    """A package; app and diags components without a file carry the demo archive (PPC: the
    PowerPC build of it, which a system board needs, and gets by default)."""
    ppc = PPC_ONLY["now"] if ppc is None else ppc
    sim("pack", str(out), *components, *(["--ppc"] if ppc else []))
    return str(out)


def padded_archive(tmp_path, version, pad, seed=1):
    """The demo application's archive with `pad` incompressible bytes more, as a file."""
    demo = open(pack(tmp_path / f"demo-{version}.pkg", f"app:{version}"), "rb").read()[16:]
    out = tmp_path / f"padded-{version}-{pad}.tar.gz"
    with tarfile.open(fileobj=io.BytesIO(demo)) as src, tarfile.open(out, "w:gz") as dest:
        for member in src.getmembers():
            dest.addfile(member, src.extractfile(member))
        info = tarfile.TarInfo("home/pad.bin")
        info.size = pad
        dest.addfile(info, open(data_file(tmp_path / f"pad-{pad}", pad, seed), "rb"))
    return str(out)


def damage(package, at):
    """Flips one byte of a package file, at an offset from its start."""
    with open(package, "r+b") as f:
        f.seek(at)
        b = f.read(1)
        f.seek(at)
        f.write(bytes([b[0] ^ 0x40]))
    return package


def data_file(path, size, seed=1):
    """A file of deterministic, incompressible-looking bytes."""
    import random
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(rng.randbytes(size))
    return str(path)


def bladepkg(*args, **kw):
    return subprocess.run([BLADEPKG, *map(str, args)], capture_output=True, text=True, **kw)

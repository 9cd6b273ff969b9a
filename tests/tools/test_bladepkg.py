# SPDX-License-Identifier: MIT
"""bladepkg: building, listing, verifying and unpacking image packages."""
import os
import struct
import subprocess
import zlib

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLADEPKG = os.path.join(os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "host")),
                        "tools", "bladepkg")


def run(*args):
    return subprocess.run([BLADEPKG, *map(str, args)], capture_output=True, text=True)


def crc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF  # the component checksum has no final inversion


@pytest.fixture
def files(tmp_path):
    (tmp_path / "k").write_bytes(os.urandom(70000))
    (tmp_path / "a").write_bytes(b"archive")
    (tmp_path / "e").write_bytes(b"")
    return tmp_path


def test_create_writes_headers_and_crcs_in_order(files):
    pkg = files / "p.pkg"
    r = run("create", pkg, f"kernel:2.6.32.1:{files/'k'}", f"app:1.2.3.4:{files/'a'}",
            f"dtb:0.0.0.255:{files/'e'}")
    assert r.returncode == 0, r.stderr
    data = pkg.read_bytes()
    k = (files / "k").read_bytes()
    off = 0
    for magic, ident, payload in ((0x03504F4C, 0x02062001, k), (0x01504F4C, 0x01020304, b"archive"),
                                  (0x05504F4C, 0x000000FF, b"")):
        c, n, m, i = struct.unpack(">IIII", data[off:off + 16])
        assert (n, m, i) == (len(payload), magic, ident)
        assert data[off + 16:off + 16 + n] == payload
        assert c == crc(data[off + 4:off + 16 + n])
        off += 16 + n
    assert off == len(data)
    assert run("verify", pkg).returncode == 0


def damaged(files, how):
    pkg = files / "p.pkg"
    run("create", pkg, f"kernel:1.0.0.0:{files/'k'}", f"app:1.0.0.0:{files/'a'}")
    data = bytearray(pkg.read_bytes())
    second = 16 + 70000
    if how == "bad CRC":
        data[second + 20] ^= 1
    elif how == "truncated":
        data = data[:-3]
    elif how == "unknown type":
        data[second + 8] = 7
    elif how == "length overflow":
        data[second + 4:second + 8] = struct.pack(">I", 0xFFFFFFF8)
    elif how == "truncated header":
        data += b"\x00" * 5
    pkg.write_bytes(bytes(data))
    return pkg


@pytest.mark.parametrize("how", ["bad CRC", "truncated", "unknown type", "length overflow",
                                 "truncated header"])
def test_verify_names_the_first_bad_component(files, how):
    pkg = damaged(files, how)
    r = run("verify", pkg)
    assert r.returncode == 1
    index = 2 if how == "truncated header" else 1
    assert f"component {index} at offset {16 + 70000 + (23 if index == 2 else 0)}: {how}" in r.stderr
    listed = run("list", pkg)
    assert listed.returncode == 1 and "BAD" in listed.stdout
    # A failed extract leaves nothing, not even the good component before the bad one.
    out = files / "out"
    assert run("extract", pkg, out).returncode == 1 and not out.exists()


@pytest.mark.parametrize("content,said", [(b"", "empty package"),
                                         (b"\x00" * 7, "not an image package"),
                                         (bytes(range(256)) * 16, "not an image package")])
def test_garbage_is_refused_without_crashing(files, content, said):
    pkg = files / "g.pkg"
    pkg.write_bytes(content)
    r = run("verify", pkg)
    assert r.returncode == 1 and said in r.stderr
    listed = run("list", pkg)  # as verify says, and no garbage row
    assert listed.returncode == 1 and listed.stdout == "" and said in listed.stderr


@pytest.mark.parametrize("args,code,said", [
    ([], 2, "no command given"), (["create"], 2, "create: missing OUT, the package to write"),
    (["create", "x"], 2, "create: missing TYPE:VERSION:FILE, a component to put in it"),
    (["list"], 2, "list: missing PKG"), (["verify", "a", "b"], 2, "unexpected argument 'b'"),
    (["extract", "a"], 2, "extract: missing DIR, the directory to extract into"),
    (["extract", "-c"], 2, "extract: missing N, the component to extract, after -c"),
    (["list", "--bogus", "p"], 2, "unknown option for list: '--bogus'"),
    (["verify", "--json", "p"], 2, "unknown option for verify: '--json'"),
    (["extract", "-c", "x", "a", "d"], 2, "bad component number 'x'"),
    (["list", "--help"], 0, "usage: bladepkg list [--json] PKG"),
    (["extract", "a", "-h"], 0, "usage: bladepkg extract [-c N] PKG DIR"),
    (["frobnicate"], 2, "unknown command 'frobnicate'"),
    (["create", "x", "app:1.2.3:f"], 2, "bad version (a.b.c.d, each 0 to 255) '1.2.3'"),
    (["create", "x", "boot:1.2.3.4:f"], 2, "unknown type 'boot'"),
    (["create", "x", "app:1.2.3.256:f"], 2, "bad version (a.b.c.d, each 0 to 255) '1.2.3.256'"),
    (["create", "x", "app"], 2, "expected TYPE:VERSION:FILE, not 'app'"),
    (["--help"], 0, "usage: bladepkg"), (["--version"], 0, "bladepkg 1."),
])
def test_command_lines(files, args, code, said):
    r = run(*args)
    assert r.returncode == code
    if code:
        assert "usage: bladepkg" in r.stderr and said in r.stderr
    else:
        assert r.stdout.startswith(said) and r.stderr == ""


def test_verify_list_json_and_extract_round_trip(files):
    pkg = files / "p.pkg"
    run("create", pkg, f"kernel:2.6.32.1:{files/'k'}", f"app:1.2.3.4:{files/'a'}")
    r = run("verify", pkg)
    assert r.stdout.splitlines() == [
        "component 0 at offset 0: kernel 2.6.32.1, 70000 bytes: ok",
        "component 1 at offset 70016: app 1.2.3.4, 7 bytes: ok", f"{pkg}: ok, 2 components"]
    rows = [line.split() for line in run("list", pkg).stdout.splitlines()[1:]]
    assert [row[:4] for row in rows] == [["0", "kernel", "2.6.32.1", "70000"],
                                         ["70016", "app", "1.2.3.4", "7"]]
    assert all(row[4] == row[5] and row[6] == "ok" for row in rows)
    import json
    rows = json.loads(run("list", "--json", pkg).stdout)
    assert [(c["type"], c["version"], c["length"], c["status"]) for c in rows] == \
        [("kernel", "2.6.32.1", 70000, "ok"), ("app", "1.2.3.4", 7, "ok")]
    # Each component's data in a file, and a manifest that rebuilds the same package.
    out = files / "out"
    assert run("extract", pkg, out).returncode == 0
    assert sorted(os.listdir(out)) == ["00-kernel.bin", "01-app.bin", "manifest"]
    assert (out / "00-kernel.bin").read_bytes() == (files / "k").read_bytes()
    items = (out / "manifest").read_text().split()
    r = subprocess.run([BLADEPKG, "create", "again.pkg", *items], cwd=out, capture_output=True)
    assert r.returncode == 0 and (out / "again.pkg").read_bytes() == pkg.read_bytes()
    # Nothing is overwritten without a word; one component alone.
    r = run("extract", pkg, out)
    assert r.returncode == 1 and "exists; not overwritten" in r.stderr
    assert run("extract", "-c", 1, pkg, files / "one").returncode == 0
    assert sorted(os.listdir(files / "one")) == ["01-app.bin", "manifest"]


def test_missing_input_is_a_clear_error(files):
    for source, said in ((files / "nope", "No such file or directory"),
                         (files, "Is a directory")):
        r = run("create", files / "p.pkg", f"app:1.0.0.0:{source}")
        assert r.returncode == 1 and f"cannot read {source}: {said}" in r.stderr
        assert not (files / "p.pkg").exists() and not (files / "p.pkg.part").exists()


def test_standard_input_and_a_component_out_of_range(files):
    pkg = files / "p.pkg"
    run("create", pkg, f"kernel:2.6.32.1:{files/'k'}", f"app:1.2.3.4:{files/'a'}")
    for args in (["list", "-"], ["verify", "-"], ["extract", "-", files / "from-stdin"]):
        r = subprocess.run([BLADEPKG, *map(str, args)], stdin=open(pkg, "rb"), capture_output=True)
        assert r.returncode == 0, (args, r.stderr)
    assert (files / "from-stdin" / "01-app.bin").read_bytes() == b"archive"
    # A component the package does not have: said so, the package not called bad, and
    # nothing left behind.
    r = run("extract", "-c", 9, pkg, files / "nine")
    assert r.returncode == 1 and "has no component 9 (it has 2, from 0)" in r.stderr
    assert "BAD" not in r.stdout and not (files / "nine").exists()


def test_create_to_a_link_a_pipe_and_standard_output(files):
    item = f"kernel:2.6.32.1:{files/'k'}"
    assert run("create", files / "ref.pkg", item).returncode == 0
    ref = (files / "ref.pkg").read_bytes()
    # A symbolic link is followed: its target gets the package, the link stays a link.
    os.symlink("target.pkg", files / "link.pkg")
    assert run("create", files / "link.pkg", item).returncode == 0
    assert os.path.islink(files / "link.pkg") and (files / "target.pkg").read_bytes() == ref
    # "-" and a name that is not a regular file are written through, down the pipe.
    for out in ("-", "/dev/stdout"):
        r = subprocess.run([BLADEPKG, "create", out, item], capture_output=True)
        assert r.returncode == 0 and r.stdout == ref, out


def test_launcher_tried_on_a_workstation_touches_nothing(tmp_path):
    launcher = os.path.join(os.path.dirname(os.path.dirname(BLADEPKG)), "src", "bladeboot")
    archive = "/tmp/vemiximage.tar.gz"
    had_archive = os.path.exists(archive)
    for args, code, stream, text in ((["--help"], 0, "stdout", "usage: bladeboot"),
                                     (["--version"], 0, "stdout", "bladeboot 1."),
                                     (["--reboot"], 2, "stderr", "unexpected argument '--reboot'"),
                                     ([], 2, "stderr", "not running on a blade")):
        r = subprocess.run([launcher, *args], capture_output=True, text=True, cwd=tmp_path)
        assert r.returncode == code and text in getattr(r, stream), (args, r)
    assert os.path.exists(archive) == had_archive and not os.listdir(tmp_path)


@pytest.mark.parametrize("kind,members,warning", [
    ("app", ["home/bin/mp.elf.strip"], ""),
    ("app", ["home/etc/release"], "lacks home/bin/mp.elf.strip"),
    ("diags", ["./mpdiag.elf.strip"], ""),
    ("diags", None, "is not a gzip-compressed tar archive"),
])
def test_create_warns_of_an_archive_without_its_program(tmp_path, kind, members, warning):
    import tarfile
    archive = tmp_path / "archive"
    if members is None:
        archive.write_bytes(b"not an archive")
    else:
        with tarfile.open(archive, "w:gz") as tar:
            for name in members:
                tar.add("/etc/hostname", arcname=name)
    r = run("create", tmp_path / "p.pkg", f"{kind}:1.0.0.1:{archive}")
    assert r.returncode == 0 and (warning in r.stderr if warning else r.stderr == "")

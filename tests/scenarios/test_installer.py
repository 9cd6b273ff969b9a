# SPDX-License-Identifier: MIT
"""The installer: a package in /tmp/image, checked and written component by component."""
import os
import shutil
import struct
import subprocess

import pytest

from conftest import back_at_menu_then_exit, bladepkg, damage, data_file, pack, padded_archive

KIB = 1024
BLOCK = 64 * KIB
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
OPENING = "\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n"


def progress(blocks):
    """The flash write's percentage display for a write of `blocks` erase blocks."""
    shown = "     " + "".join(f"\b\b\b\b{i * 100 // blocks:03d}%" for i in range(blocks))
    return shown + "\b\b\b\b100%\r\n"


def start_install(board, package, **kw):
    """Boots into the rescue menu with the package at /tmp/image and starts option T; the
    download finds the package already there and hands it to the installer. The board has
    no tftp program, which would remove /tmp/image when its own download fails."""
    board.env("diagnostics=rescue")
    con = board.boot("--fault", "notftp", image=package, timeout=120, **kw)
    con.tftp_rescue("10.77.1.2", "", "", "10.77.0.1", "pkg.bin")
    con.expect(OPENING)
    return con


def component(tmp_path, kind, version, size, seed=1):
    src = data_file(tmp_path / f"{kind}-{size}.data", size, seed)
    return f"{kind}:{version}:{src}"


def test_each_flash_component_to_its_partition(board, tmp_path):
    uboot = bytearray(open(data_file(tmp_path / "uboot.bin", BLOCK, 7), "rb").read())
    uboot[240:256] = struct.pack(">IIII", 0, BLOCK, 0x02504F4C, 0x02030405)
    (tmp_path / "uboot.bin").write_bytes(bytes(uboot))
    pkg = pack(tmp_path / "all.pkg", f"uboot:2.3.4.5:{tmp_path / 'uboot.bin'}",
               component(tmp_path, "kernel", "2.6.40.1", 100 * KIB),
               component(tmp_path, "rfs", "3.2.0.1", 3 * BLOCK - 16),
               component(tmp_path, "dtb", "1.0.1.0", 10), "diags:4.3.0.0")
    before = {p: board.flash(p) for p in ("uboot", "kernel", "rfs", "devicetree", "rescue")}
    con = start_install(board, pkg)
    con.expect("Installing Boot Loader: " + progress(1))
    con.expect("Installing Kernel: " + progress(2))
    con.expect("Installing Root Filesystem: " + progress(3))
    con.expect("Installing Device Tree: " + progress(1))
    con.expect("Installing Diagnostics: " + progress(1) + "done\r\n")
    assert back_at_menu_then_exit(con).startswith("bladesim: application ended")

    data = open(pkg, "rb").read()
    comps, off = [], 0
    while off < len(data):
        n = struct.unpack(">I", data[off + 4:off + 8])[0]
        comps.append(data[off:off + 16 + n])
        off += 16 + n
    written = {"uboot": comps[0][16:], "kernel": comps[1], "rfs": comps[2], "devicetree": comps[3],
               "rescue": comps[4]}
    for part, content in written.items():
        after = board.flash(part)
        assert after[:len(content)] == content, part
        # Every other byte of the blocks written keeps its former contents.
        end = -(-len(content) // BLOCK) * BLOCK
        assert after[len(content):end] == before[part][len(content):end], part
        assert after[end:] == before[part][end:], part


@pytest.mark.parametrize("kind,size,limit,name,label", [
    ("kernel", 3 * 1024 * KIB - 16, 3 * 1024 * KIB, "KERNEL", "Installing Kernel: "),
    ("uboot", 512 * KIB, 512 * KIB, "UBOOT", "Installing Boot Loader: "),
])
def test_size_limits(board, tmp_path, kind, size, limit, name, label):
    at_limit = tmp_path / "at.pkg"
    bladepkg("create", at_limit, component(tmp_path, kind, "1.0.0.1", size))
    con = start_install(board, at_limit)
    con.expect(label + progress(limit // BLOCK))
    back_at_menu_then_exit(con)
    part = "kernel" if kind == "kernel" else "uboot"
    installed = board.flash(part)
    src = open(at_limit, "rb").read()
    assert installed == (src if kind == "kernel" else src[16:])

    past = tmp_path / "past.pkg"
    bladepkg("create", past, component(tmp_path, kind, "1.0.0.2", size + 1, seed=2))
    con = start_install(board, past)
    con.expect(label + f"{name} image is too big for flash ({limit + 1} > {limit})\r\n")
    back_at_menu_then_exit(con)
    assert board.flash(part) == installed
    assert not any(e["event"] in ("erase", "write") for e in board.journal())


# A fault, what the console shows after the label, how many blocks the write finished
# first, and whether the block it stopped at keeps its former contents.
@pytest.mark.parametrize("fault,said,finished,kept", [
    ("rfs:open", "     Flash Write mtd read failed.\r\n\r\n", 0, True),
    ("rfs:getinfo", "     Flash Write mtd read failed.\r\n\r\n", 0, True),
    ("rfs:erase@1", "     \b\b\b\b000%Flash Write mtd erase failed.\r\n\r\n", 1, True),
    # A short read is a failed read, and a block that could not be read is never erased.
    ("rfs:short-read@1", "     \b\b\b\b000%Flash Write mtd read failed.\r\n\r\n", 1, True),
    # A short write, and a bit the flash did not take (found by reading the block back).
    ("rfs:short-write@1", "     \b\b\b\b000%Flash Write mtd write failed.\r\n\r\n", 1, False),
    ("rfs:stuck@1", "     \b\b\b\b000%Flash Write mtd write failed.\r\n\r\n", 1, False),
])
def test_flash_failure_stops_the_install(board, tmp_path, fault, said, finished, kept):
    pkg = pack(tmp_path / "rfs.pkg", component(tmp_path, "rfs", "3.0.0.1", 3 * BLOCK - 16),
               "app:7.0.0.9")
    rfs, slot = board.flash("rfs"), open(board.user("images", "image1"), "rb").read()
    board.fault(fault)
    con = start_install(board, pkg)
    con.expect("Installing Root Filesystem: " + said + "RFS image update failed\r\n")
    back_at_menu_then_exit(con)
    # Only the blocks the write finished hold the new image, and the blocks after the one
    # it stopped at keep their contents; the application was never reached.
    done, stop = finished * BLOCK, (finished + (0 if kept else 1)) * BLOCK
    assert board.flash("rfs")[:done] == open(pkg, "rb").read()[:done]
    assert board.flash("rfs")[stop:] == rfs[stop:]
    if not kept:
        assert board.flash("rfs")[done:stop] != rfs[done:stop]
    assert open(board.user("images", "image1"), "rb").read() == slot


def test_bad_crc_in_the_middle(board, tmp_path):
    pkg = tmp_path / "three.pkg"
    bladepkg("create", pkg, component(tmp_path, "kernel", "2.6.40.2", 1000),
             component(tmp_path, "rfs", "3.2.0.2", 1000), component(tmp_path, "dtb", "1.0.1.2", 100))
    damage(pkg, 1016 + 16 + 500)
    rfs, dtb = board.flash("rfs"), board.flash("devicetree")
    con = start_install(board, pkg)
    con.expect("Installing Kernel: " + progress(1))
    con.expect("Installing Root Filesystem: Bad crc for RFS: 0x")
    con.expect(", voiding download\r\n")
    back_at_menu_then_exit(con)
    assert board.flash("kernel")[:1016] == open(pkg, "rb").read()[:1016]
    assert board.flash("rfs") == rfs and board.flash("devicetree") == dtb


@pytest.mark.parametrize("answer", ["1", "2"])
def test_applications_into_a_slot(board, tmp_path, answer):
    # Two application components share the one answer; the slots' directory is made anew.
    shutil.rmtree(board.user("images"))
    big = padded_archive(tmp_path, "7.0.0.1", 200 * KIB)
    pkg = pack(tmp_path / "app.pkg", f"app:7.0.0.1:{big}", "app:7.7.7.7",
               "kernel:9.8.7.6:/etc/hostname")
    con = start_install(board, pkg)
    con.answer("Installing Application: " + QUESTION, answer + "\n")
    # The slot write's progress, a step for each 64 KiB piece.
    total = 16 + os.path.getsize(big)
    steps = "".join(f"\b\b\b\b{min(done, total) * 100 // total:03d}%"
                    for done in range(BLOCK, total + BLOCK, BLOCK))
    for label, shown in (("", steps), ("Installing Application: ", "\b\b\b\b100%")):
        con.expect(f"{label}Installing image as image{answer}:     {shown}\b\b\b\b100%\r\n")
        con.expect(f"\r\nImage{answer} updated succeeded\r\n")
    con.expect("Installing Kernel: ")
    con.menu("H")
    slots = {answer: "7.7.7.7", str(3 - int(answer)): "0.0.0.0"}
    con.expect(f"\tKernel image: 9.8.7.6\r\n\tDFT image   : 1.0.0.5\r\n"
               f"\tOS image 1  : {slots['1']}\r\n\tOS image 2  : {slots['2']}\r\n")
    back_at_menu_then_exit(con)
    data = open(pkg, "rb").read()
    first = total
    second = first + 16 + struct.unpack(">I", data[first + 4:first + 8])[0]
    assert open(board.user("images", f"image{answer}"), "rb").read() == data[first:second]
    assert os.stat(board.user("images")).st_mode & 0o777 == 0o755
    assert board.eeprom(1) == int(answer)
    # Each new image is put in place by a rename of a whole file.
    renames = [(e["from"], e["to"]) for e in board.journal() if e["event"] == "rename"]
    assert board.build == "system" or renames == [  # the device library journals renames
        (f"/user/images/.image{answer}.new", f"/user/images/image{answer}")] * 2
    board.env("diagnostics=")
    con = board.boot()
    con.finish()
    assert "mp.elf.strip: demo application 7.7.7.7" in con.output()


@pytest.mark.parametrize("how", ["empty", "interrupt"])
def test_boot_without_installing(board, tmp_path, how):
    pkg = pack(tmp_path / "app.pkg", "app:7.7.7.9", "kernel:9.9.9.9:/etc/hostname")
    kernel = board.flash("kernel")
    slots = [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)]
    con = start_install(board, pkg)
    if how == "empty":
        con.answer(QUESTION, "\n")
    else:
        con.expect(QUESTION)
        con.interrupt()
    con.expect("Booting downloaded image\r\nImage ready to boot...\r\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo application 7.7.7.9" in con.output()
    assert board.eeprom(1) == 1
    assert board.flash("kernel") == kernel  # components after it are not processed
    assert [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)] == slots


def test_keys_typed_during_an_install_do_not_answer(board, tmp_path):
    pkg = pack(tmp_path / "k.pkg", component(tmp_path, "kernel", "2.6.42.1", 3 * 1024 * KIB - 16),
               "app:7.7.7.8")
    slots = [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)]
    con = start_install(board, pkg)
    con.expect("Installing Kernel: ")
    con.send("1\r")  # while the kernel is written, before the question is asked
    con.answer(QUESTION, "\n")
    con.expect("Booting downloaded image\r\n")
    assert con.finish() == "bladesim: application ended (status 0)"
    assert "mp.elf.strip: demo application 7.7.7.8" in con.output()
    assert [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)] == slots
    assert board.eeprom(1) == 1


def archive_that_cannot_start(tmp_path, kind):
    """A file that is no archive the launcher can start from, made as KIND says."""
    path = tmp_path / kind.replace(" ", "-")
    if kind in ("gzip, no tar", "tar without the program"):
        inner = tmp_path / "inner"
        (inner / "home" / "bin").mkdir(parents=True)
        (inner / "home" / "bin" / "mp.elf").write_bytes(b"not the program's name")
        if kind == "gzip, no tar":
            subprocess.run(f"gzip -c /etc/services > {path}", shell=True, check=True)
        else:
            subprocess.run(["tar", "czf", path, "-C", inner, "home"], check=True)
    else:
        path.write_bytes(b"" if kind == "empty" else os.urandom(1024))
    return path


# A component the launcher could not start, why the installer says so, for an application
# (before its question) and for diagnostics (before the rescue partition is erased).
@pytest.mark.parametrize("ctype,kind,said", [
    ("app", "empty", "APPLICATION image is not a gzip-compressed archive"),
    ("app", "random bytes", "APPLICATION image is not a gzip-compressed archive"),
    ("app", "gzip, no tar", "APPLICATION image is not a tar archive"),
    ("app", "tar without the program", "APPLICATION image lacks home/bin/mp.elf.strip"),
    ("diags", "tar without the program", "DIAGNOSTICS IMAGE image lacks mpdiag.elf.strip"),
])
def test_component_that_cannot_start_is_refused(board, tmp_path, ctype, kind, said):
    pkg = tmp_path / "bad.pkg"
    bladepkg("create", pkg, f"{ctype}:1.0.0.0:{archive_that_cannot_start(tmp_path, kind)}")
    rescue = board.flash("rescue")
    slots = [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)]
    con = start_install(board, pkg)
    label = "Installing Application: " if ctype == "app" else "Installing Diagnostics: "
    con.expect(f"{label}{said}, voiding download\r\n")
    back_at_menu_then_exit(con)
    assert QUESTION not in con.output()
    assert board.flash("rescue") == rescue and board.eeprom(1) == 1
    assert [open(board.user("images", f"image{n}"), "rb").read() for n in (1, 2)] == slots
    assert not any(e["event"] in ("erase", "write", "rename") for e in board.journal())


@pytest.mark.parametrize("how", ["cut short", "length overflow"])
def test_damaged_length_is_refused_before_writing(board, tmp_path, how):
    pkg = tmp_path / "bad.pkg"
    bladepkg("create", pkg, component(tmp_path, "dtb", "1.0.1.4", 100),
             component(tmp_path, "kernel", "2.6.40.4", 5000))
    data = bytearray(open(pkg, "rb").read())
    if how == "cut short":
        data = data[:-1]  # one byte short: the boundary of the length check
    else:
        data[116 + 4:116 + 8] = struct.pack(">I", 0xFFFFFFF8)
    pkg.write_bytes(bytes(data))
    kernel = board.flash("kernel")
    con = start_install(board, pkg)
    con.expect("Installing Device Tree: ")
    if how == "cut short":
        con.expect("Installing Kernel: KERNEL image is cut short (5015 of 5016 bytes), voiding "
                   "download")
    else:
        con.expect("Installing Kernel: Bad length for KERNEL: 0xfffffff8, voiding download")
    back_at_menu_then_exit(con)
    assert board.flash("kernel") == kernel


# --- power cuts ---------------------------------------------------------------------------
@pytest.mark.parametrize("cut,booted", [
    (3, "5.0.1.1"),  # the third 64 KiB piece of the slot write: the old image stays
    (2, "7.2.0.1"),  # the kernel's first erase, after the slot was replaced: that holds
])
@pytest.mark.preload_only("the cut points count the device library's writes; a system board's "
                         "are QEMU's flash events (bench/system_power_cuts.py sweeps them)")
def test_power_cut_in_an_application_install(board, tmp_path, cut, booted):
    if cut == 3:
        pkg = pack(tmp_path / "new.pkg", f"app:7.2.0.0:{padded_archive(tmp_path, '7.2.0.0', 300 * KIB)}")
    else:
        pkg = pack(tmp_path / "new.pkg", "app:7.2.0.1",
                   component(tmp_path, "kernel", "2.6.41.1", 200 * KIB))
    board.fault(f"cut@{cut}")
    con = start_install(board, pkg)
    con.answer(QUESTION, "1\n")
    assert con.finish() == "bladesim: power cut"
    board.fault("--clear")
    board.env("diagnostics=")
    con = board.boot()
    assert con.finish() == "bladesim: application ended (status 0)"
    assert f"mp.elf.strip: demo application {booted}" in con.output()

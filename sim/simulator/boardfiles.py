# SPDX-License-Identifier: MIT
"""A board's files: one per flash partition, the VPD EEPROM, the CPLD registers, the user
filesystem's directory, the board's /tmp, the journal; and the packages and archives that
go into them."""
import fcntl
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import zlib

from .description import (CONSOLE_BAUD, CPLD, DEFAULT_ENV, DEFAULT_VERSIONS, EEPROM_BOOT_SLOT,
                          EEPROM_BOOTED_SLOT, EEPROM_SIZE, ENV_OFFSET, ENV_WINDOW, MAGIC,
                          PARTITIONS, PATHS, TYPE_NAME, UBOOT_RECORD_OFFSET)

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
HOST_BUILD = os.environ.get("BLADESIM_BUILD", os.path.join(REPO, "build", "host"))
PPC_BUILD = os.environ.get("BLADESIM_PPC_BUILD", os.path.join(REPO, "build", "ppc"))
KIB = 1024
MIB = 1024 * KIB


class Failure(Exception):
    """What bladesim says before it exits with status 1 (or the code given)."""

    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


def die(msg, code=1):
    raise Failure(msg, code)


def tool(path, what, preset="host"):
    if not os.path.exists(path):
        die(f"{what} not found at {path}: build it first (cmake --preset {preset} && "
            f"cmake --build --preset {preset})")
    return path


def host_tool(relative, what):
    return tool(os.path.join(HOST_BUILD, relative), what)


def ppc_tool(relative, what):
    """A program of the PowerPC build, which is made here first when it is missing (and is
    the tree's own build directory)."""
    path = os.path.join(PPC_BUILD, relative)
    if not os.path.exists(path) and "BLADESIM_PPC_BUILD" not in os.environ:
        print("bladesim: building the PowerPC launcher and demo programs first "
              "(cmake --preset ppc && cmake --build --preset ppc)", file=sys.stderr, flush=True)
        for step in (["cmake", "--preset", "ppc"], ["cmake", "--build", "--preset", "ppc"]):
            r = subprocess.run(step, cwd=REPO, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
            if r.returncode != 0:
                die(f"{' '.join(step)} failed:\n{r.stderr[-2000:]}")
    return tool(path, what, "ppc")


def bladepkg():
    return host_tool(os.path.join("tools", "bladepkg"), "bladepkg")


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def version_word(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) <= 255 for p in parts):
        die(f"bad version {text!r}: four numbers 0 to 255, as 5.0.1.2")
    return sum(int(p) << s for p, s in zip(parts, (24, 16, 8, 0)))


def version_text(word):
    return ".".join(str(word >> s & 0xFF) for s in (24, 16, 8, 0))


def component_check(data, offset=0):
    """(header dict, verdict) for the component at `offset` of `data`."""
    if len(data) - offset < 16:
        return None, "no header"
    crc, length, magic, ident = struct.unpack(">IIII", data[offset:offset + 16])
    head = {"type": TYPE_NAME.get(magic, f"0x{magic:08x}"), "version": version_text(ident),
            "length": length}
    if magic not in TYPE_NAME:
        return head, "unknown type"
    if len(data) - offset - 16 < length:
        return head, "cut short"
    good = crc32(data[offset + 4:offset + 16 + length]) ^ 0xFFFFFFFF == crc
    return head, "good" if good else "bad CRC"


# The board's state: its kind, its standing faults, its time scale.
STATE = "state.json"
# What every board directory holds; one without any of them is not a whole board.
WHOLE_BOARD = [STATE, "eeprom.bin", "journal.jsonl", "user", "tmp"] + \
    [os.path.join("flash", f"{name}.bin") for name in PARTITIONS]


class Board:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        old = self.p("board.json")  # the name boards made before had for their state
        if os.path.exists(old) and not os.path.exists(self.p(STATE)):
            os.replace(old, self.p(STATE))

    def p(self, *parts):
        return os.path.join(self.path, *parts)

    def flash(self, name):
        return self.p("flash", f"{name}.bin")

    def slot(self, n=None):
        """Image slot N's file as the board keeps it (the board's user directory is the
        blade's /user), or the slots' directory."""
        d = self.p(PATHS["slots"].lstrip("/"))
        return d if n is None else os.path.join(d, f"image{n}")

    @property
    def journal(self):
        return self.p("journal.jsonl")

    def booting(self):
        """True while a boot of this board holds its lock (the kernel lets go of it when
        the boot's processes are gone, however they ended)."""
        try:
            with open(self.p("boot.lock"), "a") as f:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return False
        except BlockingIOError:
            return True
        except OSError:
            return False

    def check(self):
        missing = [f for f in WHOLE_BOARD if not os.path.exists(self.p(f))]
        if len(missing) == len(WHOLE_BOARD):
            die(f"{self.path} is not a board (make one with: bladesim new {self.path})")
        if missing:
            die(f"{self.path} is not a whole board ({', '.join(missing)} missing): remove it "
                f"(rm -r {self.path}) and make it again (bladesim new {self.path})")
        return self

    def check_idle(self):
        self.check()
        if self.booting():
            die(f"{self.path} is booting; change it when the boot has ended")
        return self

    def config(self):
        with open(self.p(STATE)) as f:
            return json.load(f)

    def kind(self):
        return self.config().get("kind", "preload")

    def save_config(self, cfg):
        tmp = self.p(STATE + ".part")
        with open(tmp, "w") as f:
            json.dump(cfg, f, indent=2)
        os.replace(tmp, self.p(STATE))

    def ensure_hardware(self):
        """The CPLD register window and the empty second I2C bus."""
        if not os.path.exists(self.p("cpld.bin")):
            with open(self.p("cpld.bin"), "wb") as f:
                f.write(b"\0" * CPLD["size"])
        if not os.path.exists(self.p("i2c-1.bin")):
            open(self.p("i2c-1.bin"), "wb").close()

    # --- flash -------------------------------------------------------------------------
    def write_partition(self, name, data, offset=0):
        size = PARTITIONS[name]
        if offset + len(data) > size:
            die(f"{len(data)} bytes at {offset} do not fit in the {name} partition ({size})")
        with open(self.flash(name), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def erase_partition(self, name):
        with open(self.flash(name), "wb") as f:
            f.write(b"\xff" * PARTITIONS[name])

    # --- boot environment --------------------------------------------------------------
    def baudrate(self):
        """The console speed the boot loader leaves, from the environment (the board's console speed
        unless set)."""
        speeds = [s.split("=", 1)[1] for s in self.read_env() if s.startswith("baudrate=")]
        return int(speeds[0]) if speeds and speeds[0].isdigit() else CONSOLE_BAUD

    def read_env(self):
        with open(self.flash("ubootenv"), "rb") as f:
            raw = f.read()
        settings = []
        for item in raw[ENV_OFFSET:].split(b"\0"):
            if not item:
                break
            settings.append(item.decode("latin-1"))
        return settings

    def write_env(self, settings):
        size = PARTITIONS["ubootenv"]
        area = b"".join(s.encode("latin-1") + b"\0" for s in settings) + b"\0"
        if len(area) > size - ENV_OFFSET:
            die("environment does not fit in its partition")
        area += b"\0" * (size - ENV_OFFSET - len(area))
        # The boot loader's checksum of its settings area, in the board's byte order.
        self.write_partition("ubootenv", struct.pack(">I", crc32(area)) + area)

    def env_beyond_window(self):
        """Settings that lie wholly or partly past the bytes the launcher reads."""
        beyond, at = [], 0
        for item in self.read_env():
            end = at + len(item.encode("latin-1"))
            if end > ENV_WINDOW:
                beyond.append(item)
            at = end + 1
        return beyond

    # --- EEPROM ------------------------------------------------------------------------
    def eeprom(self):
        with open(self.p("eeprom.bin"), "rb") as f:
            return bytearray(f.read())

    def set_eeprom(self, offset, value):
        data = self.eeprom()
        data[offset] = value
        with open(self.p("eeprom.bin"), "wb") as f:
            f.write(data)


def journal_append(board, event, fields, t=None):
    """One line of the board's journal, from bladesim itself (the boot's own lines come
    from the device library and the stand-ins)."""
    rec = {"t": round(time.time() if t is None else t, 6), "pid": os.getpid(), "event": event}
    rec.update(fields)
    with open(board.journal, "a") as f:
        f.write(json.dumps(rec) + "\n")


# --- packages ----------------------------------------------------------------------------
def make_archive(dest, members):
    """A gzip-compressed tar whose members are stored relative to /tmp."""
    with tarfile.open(dest, "w:gz") as tar:
        for name, (data, mode) in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            info.mtime = 0
            tar.addfile(info, io.BytesIO(data))


def demo_app_bytes(ppc=False):
    relative = os.path.join("sim", "demoapp")
    path = ppc_tool(relative, "PowerPC demo application") if ppc else \
        host_tool(relative, "demo application")
    with open(path, "rb") as f:
        return f.read()


def app_archive(dest, version, diags=False, ppc=False):
    app = demo_app_bytes(ppc)
    what = "diagnostics" if diags else "application"
    program = PATHS["diagnostics_member"] if diags else PATHS["application_member"]
    make_archive(dest, {program: (app, 0o755),
                        PATHS["release_member"]: (f"demo {what} {version}\n".encode(), 0o644)})


def build_package(out, components):
    """components: list of (type, version, file)."""
    args = [bladepkg(), "create", out] + [f"{t}:{v}:{f}" for t, v, f in components]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        die(f"bladepkg failed: {r.stderr.strip()}")
    if r.stderr:
        sys.stderr.write(r.stderr)


def component_bytes(ctype, version, data, work):
    src = os.path.join(work, f"{ctype}.data")
    with open(src, "wb") as f:
        f.write(data)
    out = os.path.join(work, f"{ctype}.pkg")
    build_package(out, [(ctype, version, src)])
    with open(out, "rb") as f:
        return f.read()


def filler(seed, size):
    """Deterministic stand-in contents for a partition image."""
    out = bytearray()
    block = f"{seed}".encode()
    while len(out) < size:
        block = zlib.compress(block + bytes([len(out) & 0xFF]))[:64] or b"x"
        out += block
    return bytes(out[:size])


def uboot_image(version):
    """A boot loader image: raw bytes carrying its header-like record at offset 240."""
    data = bytearray(filler("uboot", 64 * KIB))
    record = struct.pack(">IIII", 0, len(data), MAGIC["uboot"], version_word(version))
    data[UBOOT_RECORD_OFFSET:UBOOT_RECORD_OFFSET + 16] = record
    return bytes(data)


def new_board(path, kind, ppc):
    """A board with the default installation. It is made beside its place and renamed
    into it when whole, so that a failure leaves no half-made board."""
    board = Board(path)
    if os.path.exists(board.path) and (not os.path.isdir(board.path) or os.listdir(board.path)):
        die(f"{board.path} exists and is not empty")
    # What the board needs is found before anything is made.
    for_ppc = kind == "system" or ppc
    demo_app_bytes(for_ppc)
    bladepkg()
    parent = os.path.dirname(board.path)
    os.makedirs(parent, exist_ok=True)
    work_dir = tempfile.mkdtemp(prefix=".new-", dir=parent)
    try:
        made = Board(work_dir)
        fill_board(made, kind, for_ppc)
        if os.path.isdir(board.path):
            os.rmdir(board.path)
        os.rename(work_dir, board.path)
    except BaseException:
        shutil.rmtree(work_dir, ignore_errors=True)
        raise
    return board


def fill_board(board, kind, ppc):
    for d in ("flash", "tmp", "tftp"):
        os.makedirs(board.p(d), exist_ok=True)
    os.makedirs(board.slot(), exist_ok=True)
    for name in PARTITIONS:
        board.erase_partition(name)
    eeprom = bytearray(b"\xff" * EEPROM_SIZE)
    eeprom[EEPROM_BOOT_SLOT] = 1
    eeprom[EEPROM_BOOTED_SLOT] = 1
    with open(board.p("eeprom.bin"), "wb") as f:
        f.write(eeprom)
    open(board.journal, "w").close()
    board.ensure_hardware()
    board.write_env(DEFAULT_ENV)

    v = DEFAULT_VERSIONS
    with tempfile.TemporaryDirectory() as work:
        # The boot loader partition holds the component data only.
        board.write_partition("uboot", uboot_image(v["uboot"]))
        for part, ctype, size in (("devicetree", "dtb", 12 * KIB), ("kernel", "kernel", 900 * KIB),
                                  ("rfs", "rfs", 2 * MIB)):
            board.write_partition(part, component_bytes(ctype, v[part], filler(part, size), work))
        diag = os.path.join(work, "diags.tar.gz")
        app_archive(diag, v["rescue"], diags=True, ppc=ppc)
        with open(diag, "rb") as f:
            board.write_partition("rescue", component_bytes("diags", v["rescue"], f.read(), work))
        for slot in (1, 2):
            ver = v[f"image{slot}"]
            arc = os.path.join(work, f"app{slot}.tar.gz")
            app_archive(arc, ver, ppc=ppc)
            build_package(board.slot(slot), [("app", ver, arc)])
    # The board's description comes last: a directory without it is no board.
    board.save_config({"faults": [], "time_scale": 1.0, "kind": kind})

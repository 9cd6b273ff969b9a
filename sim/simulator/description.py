# SPDX-License-Identifier: MIT
"""The board's facts, from sim/board.json: partitions, buses and addresses, registers,
fixed paths, the lab and the fault table. Run as a script, it writes the C++ header the
device library takes them from:

    python3 sim/simulator/description.py --header OUT.h
"""
import json
import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
DESCRIPTION = os.path.join(os.path.dirname(HERE), "board.json")

with open(DESCRIPTION) as _f:
    BOARD = json.load(_f)

ERASE_SIZE = BOARD["erase_size"]
PARTITIONS = {p["name"]: p["size"] for p in BOARD["partitions"]}
DEVICE_PREFIX = BOARD["device_prefix"]
# Device path -> partition; the user partition has a character device of its own as well.
DEVICES = {f"{DEVICE_PREFIX}{p['name']}": p["name"] for p in BOARD["partitions"]}
DEVICES.update({p["char_device"]: p["name"] for p in BOARD["partitions"] if "char_device" in p})
# What the files of /user may take: JFFS2 keeps some erase blocks for itself.
USER_CAPACITY = PARTITIONS["user"] - BOARD["user_reserved_blocks"] * ERASE_SIZE
UBOOT_RECORD_OFFSET = BOARD["uboot_record_offset"]

ENV_OFFSET = BOARD["environment"]["offset"]
ENV_WINDOW = BOARD["environment"]["window"]
DEFAULT_ENV = BOARD["environment"]["default"]

I2C = BOARD["i2c"]
# The buses' device files share a prefix; the VPD EEPROM sits on the first bus.
I2C_PREFIX = I2C["buses"][0].rstrip("0123456789")
EEPROM_BUS = int(I2C["buses"][0][len(I2C_PREFIX):])
EEPROM_SIZE = BOARD["eeprom"]["size"]
EEPROM_BOOT_SLOT = BOARD["eeprom"]["boot_slot"]
EEPROM_BOOTED_SLOT = BOARD["eeprom"]["booted_slot"]
CPLD = BOARD["cpld"]
PATHS = BOARD["paths"]
CONSOLE_BAUD = BOARD["console_baud"]
# The simulation's own files inside a preload board: the write counter the board's
# processes share, the launcher's pid for a power cut.
SIM_FILES = BOARD["sim_files"]

LAB = BOARD["lab"]
DEFAULT_VERSIONS = BOARD["versions"]

MAGIC = {"app": 0x01504F4C, "uboot": 0x02504F4C, "kernel": 0x03504F4C,
         "rfs": 0x04504F4C, "dtb": 0x05504F4C, "diags": 0x06504F4C}
TYPE_NAME = {v: k for k, v in MAGIC.items()}
PART_OF_TYPE = {MAGIC["kernel"]: "kernel", MAGIC["rfs"]: "rfs", MAGIC["dtb"]: "devicetree",
                MAGIC["diags"]: "rescue"}

# --- faults ------------------------------------------------------------------------------
# A fault row: its name (PART stands for any flash partition but the user filesystem's),
# whether it takes @BLOCK or @N, one line of help, which board kinds take it, and where it
# acts: "devices" (the device library), "sandbox", "lab", "stubs" (the platform stand-ins),
# or declaratively, a program or device file that is absent or not a program.
FAULTS = BOARD["faults"]
# A fault's name as code names it: FAULT["tmpfull"] fails at once where a row is missing.
FAULT = {r["name"]: r["name"] for r in FAULTS}
FLASH_PARTITIONS = [p for p in PARTITIONS if p != "user"]


def fault_row(name):
    """The row a fault item such as "kernel:write@2" or "cut@5" belongs to, or None."""
    base, at, arg = name.partition("@")
    part, colon, what = base.partition(":")
    for row in FAULTS:
        if colon and row["name"] == f"PART:{what}" and part in FLASH_PARTITIONS:
            ok = not at or (row.get("block") and arg.isdigit())
        elif row["name"] == base:
            ok = not at if not row.get("count") else (at and arg.isdigit() and int(arg) > 0)
        else:
            continue
        return row if ok else None
    return None


def fault_kinds(row):
    return row.get("kinds", ["preload"])


def fault_usage(row):
    return row["name"] + ("[@BLOCK]" if row.get("block") else "@N" if row.get("count") else "")


def fault_help():
    """One line per fault, for `bladesim fault --help`."""
    width = max(len(fault_usage(r)) for r in FAULTS)
    lines = []
    for r in FAULTS:
        kinds = "" if fault_kinds(r) == ["preload"] else f" ({', '.join(fault_kinds(r))} boards)"
        lines.append(f"  {fault_usage(r):{width}}  {r['help']}{kinds}")
    return "PART is one of " + ", ".join(FLASH_PARTITIONS) + ".\n" + "\n".join(lines)


def absent_paths(faults):
    """{path: "absent" | "not_a_program"} for the faults that take a file off the board."""
    out = {}
    for f in faults:
        row = fault_row(f)
        for how in ("absent", "not_a_program"):
            if row and how in row:
                out[row[how]] = how
    return out


# --- the device library's header ---------------------------------------------------------
def header():
    """The facts the device library needs, as C++ constants."""
    def text(s):
        return json.dumps(s)
    rows = [
        ("uint32_t", "kEraseSize", ERASE_SIZE),
        ("const char*", "kDevicePrefix", text(DEVICE_PREFIX)),
        ("uint64_t", "kUserCapacity", USER_CAPACITY),
        ("uint8_t", "kMuxAddress", I2C["mux"]),
        ("uint8_t", "kVpdChannelBit", 1 << I2C["vpd_channel"]),
        ("uint8_t", "kSummitAddress", I2C["summit"]),
        ("uint8_t", "kSummitVpdRegister", I2C["summit_register"]),
        ("uint8_t", "kSummitVpdValue", I2C["summit_value"]),
        ("uint8_t", "kVpdAddress", I2C["eeprom"]),
        ("const char*", "kI2cPrefix", text(I2C_PREFIX)),
        ("const char*", "kCpldPath", text(CPLD["path"])),
        ("off_t", "kCpldVpdAccess", CPLD["vpd_access"]),
        ("off_t", "kCpldVpdStatus", CPLD["vpd_status"]),
        ("double", "kCpldBusySeconds", CPLD["busy_seconds"]),
        ("const char*", "kUserDir", text(PATHS["user"] + "/")),
        ("const char*", "kSlotDir", text(PATHS["slots"] + "/")),
        ("const char*", "kArchive", text(PATHS["archive"])),
        ("const char*", "kUserCharDevice", text(DEVICES_CHAR["user"])),
        ("uint32_t", "kUbootRecordOffset", UBOOT_RECORD_OFFSET),
        ("uint32_t", "kEnvOffset", ENV_OFFSET),
        ("uint8_t", "kEepromBootSlot", EEPROM_BOOT_SLOT),
        ("uint8_t", "kEepromBootedSlot", EEPROM_BOOTED_SLOT),
        ("uint32_t", "kConsoleBaud", CONSOLE_BAUD),
        ("const char*", "kWritesFile", text(SIM_FILES["writes"])),
        ("const char*", "kLauncherPidFile", text(SIM_FILES["launcher_pid"])),
    ]
    out = ["// Generated from sim/board.json by sim/simulator/description.py: do not edit.",
           "#pragma once", "#include <cstdint>", "#include <sys/types.h>", "",
           "namespace board {"]
    out += [f"constexpr {t} {n} = {v};" for t, n, v in rows]
    out += ["struct partition { const char* name; uint32_t size; };",
            "constexpr partition kPartitions[] = {"]
    out += [f"    {{{text(n)}, {s}}}," for n, s in PARTITIONS.items()]
    out += ["};", "constexpr const char* kI2cBuses[] = {" +
            ", ".join(text(b) for b in I2C["buses"]) + "};"]
    out += ["namespace paths {"] + [f"constexpr const char* {k} = {text(v)};"
                                    for k, v in PATHS.items()] + ["} // namespace paths"]
    # Each fault's name as code names it: fault::cpld_busy, fault::part_read ("read", the
    # kind a partition item such as "kernel:read@2" names), and the kinds that take a block.
    out += ["namespace fault {"] + [f"constexpr const char* {const_name(r)} = {text(fault_key(r))};"
                                    for r in FAULTS]
    out += ["constexpr const char* kBlockKinds[] = {" +
            ", ".join(text(fault_key(r)) for r in FAULTS if r.get("block")) + "};",
            "} // namespace fault"]
    out += ["} // namespace board", ""]
    return "\n".join(out)


def fault_key(row):
    """What a fault item names: "read" for "PART:read", the row's name otherwise."""
    return row["name"].partition(":")[2] or row["name"]


def const_name(row):
    """A fault row's name in C++ and shell code: cpld_busy, part_read."""
    return "".join(c if c.isalnum() else "_" for c in row["name"]).lower()


def shell_settings(faults):
    """The facts the system board's guest and the preload board's stand-ins take, as shell
    assignments; a fault's name as FAULT_<NAME>."""
    chips = ",".join(f"0x{I2C[k]:02x}" for k in ("eeprom", "summit", "mux"))
    taken = absent_paths(faults)
    absent = " ".join(p for p, how in taken.items() if how == "absent")
    not_programs = " ".join(p for p, how in taken.items() if how == "not_a_program")
    rows = {"BOARD_I2C_CHIPS": chips, "BOARD_EEPROM_BUS": I2C["buses"][0],
            "BOARD_EEPROM_ADDRESS": f"0x{I2C['eeprom']:02x}", "BOARD_EEPROM_SIZE": EEPROM_SIZE,
            "BOARD_CPLD": CPLD["path"], "BOARD_CPLD_SIZE": CPLD["size"],
            "BOARD_DEVICE_PREFIX": DEVICE_PREFIX, "BOARD_USER_CHAR": DEVICES_CHAR["user"],
            "BOARD_APPLICATION": PATHS["application"], "BOARD_SLOTS": PATHS["slots"],
            "BOARD_ARCHIVE": PATHS["archive"], "BOARD_ABSENT": absent,
            "BOARD_NOT_PROGRAMS": not_programs,
            "BOARD_USER": PATHS["user"], "BOARD_CONSOLE": PATHS["console"],
            "BOARD_CONSOLE_BAUD": CONSOLE_BAUD, "BOARD_USER_DEVICE": DEVICE_PREFIX + "user",
            "BOARD_ERASE_SIZE": ERASE_SIZE, "BOARD_WRITES": SIM_FILES["writes"],
            "BOARD_LAUNCHER_PID": SIM_FILES["launcher_pid"]}
    rows.update({f"FAULT_{const_name(r).upper()}": fault_key(r) for r in FAULTS})
    return "".join(f"{k}='{v}'\n" for k, v in rows.items())


DEVICES_CHAR = {p["name"]: p["char_device"] for p in BOARD["partitions"] if "char_device" in p}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "--header":
        sys.exit("usage: description.py --header OUT.h")
    new = header()
    try:
        with open(sys.argv[2]) as f:
            if f.read() == new:
                sys.exit(0)  # unchanged: nothing to rebuild
    except FileNotFoundError:
        pass
    with open(sys.argv[2], "w") as f:
        f.write(new)

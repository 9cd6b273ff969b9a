# SPDX-License-Identifier: MIT
"""What a board holds and what its last boot did: the launch options as the launcher reads
them, the EEPROM record, partitions and slots; the journal; the last boot drawn."""
import json
import os
import struct
import subprocess

from .boardfiles import component_check, die, host_tool, version_text
from .description import (EEPROM_BOOT_SLOT, EEPROM_BOOTED_SLOT, ENV_WINDOW, I2C, PART_OF_TYPE, TYPE_NAME,
                          UBOOT_RECORD_OFFSET)

# The launcher's names for its options, and the short ones bladesim shows.
OPTION_NAMES = {"gdb_enable": "gdb", "gdbserver_enable": "gdbserver", "gdbport": "gdbport",
                "shell_enable": "shell", "memchk_enable": "memchk", "rescue_enable": "rescue",
                "standalone_diags": "diags"}


def launcher_options(board):
    """The launch options the board's environment gives, as the launcher itself reads them
    (bladeboot --launch-options)."""
    launcher = host_tool(os.path.join("src", "bladeboot"), "bladeboot")
    r = subprocess.run([launcher, "--launch-options", board.flash("ubootenv")],
                       capture_output=True, text=True,
                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    if r.returncode != 0:
        die(f"bladeboot --launch-options failed: {r.stderr.strip()}")
    opts = {}
    for line in r.stdout.splitlines():
        name, _, value = line.partition("=")
        if name in OPTION_NAMES:
            short = OPTION_NAMES[name]
            opts[short] = int(value) if short == "gdbport" else value != "0"
    return opts


def read_events(board):
    with open(board.journal) as f:
        return [json.loads(line) for line in f if line.strip()]


def last_boot(board):
    """The events of the last boot, from its "boot" line on."""
    events = read_events(board)
    starts = [i for i, e in enumerate(events) if e["event"] == "boot"]
    return events[starts[-1]:] if starts else []


def board_report(board):
    eeprom = board.eeprom()
    report = {"environment": launcher_options(board), "beyond_window": board.env_beyond_window(),
              "eeprom": {"boot_slot": eeprom[EEPROM_BOOT_SLOT],
                         "booted_slot": eeprom[EEPROM_BOOTED_SLOT]},
              "partitions": {}, "slots": {}, "last_boot": None}
    with open(board.flash("uboot"), "rb") as f:
        record = f.read()[UBOOT_RECORD_OFFSET:UBOOT_RECORD_OFFSET + 16]
    _, length, magic, ident = struct.unpack(">IIII", record)
    report["partitions"]["uboot"] = {"type": TYPE_NAME.get(magic, f"0x{magic:08x}"),
                                     "version": version_text(ident), "length": length,
                                     "check": "no CRC kept"}
    for part in PART_OF_TYPE.values():
        with open(board.flash(part), "rb") as f:
            head, verdict = component_check(f.read())
        report["partitions"][part] = dict(head or {}, check=verdict)
    for slot in (1, 2):
        path = board.slot(slot)
        if not os.path.exists(path):
            report["slots"][slot] = {"check": "no slot file"}
            continue
        data, offset = open(path, "rb").read(), 0
        while True:  # as the launcher walks it, to the first application or diagnostics
            head, verdict = component_check(data, offset)
            if head is None or head["type"] in ("app", "diags") or verdict == "cut short":
                break
            offset += 16 + head["length"]
        report["slots"][slot] = dict(head or {}, check=verdict if head else "no application")
    ends = [e for e in read_events(board) if e["event"] == "end"]
    if ends:
        report["last_boot"] = ends[-1]["ending"]
    return report


def show(board, as_json):
    r = board_report(board)
    if as_json:
        print(json.dumps(r, indent=2))
        return
    env = r["environment"]
    print("launch options  " + ", ".join(f"{k}={'on' if v is True else 'off' if v is False else v}"
                                         for k, v in env.items()))
    for item in r["beyond_window"]:
        print(f"  warning: {item.split('=', 1)[0]} lies past the {ENV_WINDOW} bytes read")
    print(f"EEPROM          slot to boot {r['eeprom']['boot_slot']}, "
          f"slot booted {r['eeprom']['booted_slot']}")
    for name, h in list(r["partitions"].items()) + [(f"image{k}", v) for k, v in r["slots"].items()]:
        if "type" in h:
            print(f"{name:15} {h['type']:7} {h['version']:15} {h['length']:>9} bytes  {h['check']}")
        else:
            print(f"{name:15} {h['check']}")
    print(f"last boot       {r['last_boot'] or 'none'}")


def html_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def timeline_marks(events):
    """(kind, start, length, label) for each event worth drawing, in seconds of blade time
    from the boot's start, and the boot's length. Time runs as the blade would spend it: a
    pause is journaled when it starts and lasts its whole length, however fast the board's
    time was scaled."""
    scale = events[0].get("time_scale", 1.0) or 1.0
    marks, clock, last = [], 0.0, events[0]["t"]
    # In the order they happened: a system board's phases are journaled when it has
    # stopped, with the times the guest measured.
    for e in sorted(events[1:], key=lambda e: e["t"]):
        clock += max(0.0, e["t"] - last)
        last = e["t"]
        kind = e["event"]
        if kind == "pause":
            marks.append(("pause", clock, e["seconds"], f"pause {e['seconds']:g} s"))
            clock += e["seconds"] * (1 - scale)  # the part of it the board did not sleep
        elif kind == "shell":
            marks.append(("shell", clock, 0, e["command"].strip().replace("\n", "; ")[:60]))
        elif kind in ("exec", "end", "power-cut", "reboot", "rename", "flash_eraseall", "phase"):
            label = e.get("path") or e.get("ending") or e.get("to") or e.get("name") or kind
            marks.append(("event", clock, 0, f"{kind}: {label}"))
        elif kind in ("erase", "write"):
            marks.append(("flash", clock, 0, ""))
        elif kind == "i2c" and e.get("address") == I2C["eeprom"]:
            marks.append(("eeprom", clock, 0,
                          f"EEPROM {e['op']} {e['command']}: {e['value']}"
                          + ("" if e.get("result", 0) == 0 else " (failed)")))
        elif kind in ("i2c", "cpld"):
            marks.append(("i2c", clock, 0, ""))
    return marks, clock


def timeline(board, output, as_json=False):
    """The last boot as an SVG, or its marks as JSON."""
    events = last_boot(board)
    if not events:
        die("no boot in the journal yet")
    marks, clock = timeline_marks(events)
    total = max(clock, 0.001)
    if as_json:
        text = json.dumps({"total": total, "marks": [
            {"kind": k, "start": t, "length": n, "label": label} for k, t, n, label in marks]},
            indent=1) + "\n"
        if output:
            with open(output, "w") as f:
                f.write(text)
        else:
            print(text, end="")
        return
    width, row = 1000, 16
    labelled = [m for m in marks if m[3]]
    height = 60 + row * len(labelled)

    def x(t):
        return 20 + (width - 40) * t / total
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           'font-family="monospace" font-size="11">',
           f'<text x="20" y="16">last boot of {html_escape(board.path)}: {total:.1f} s of blade '
           f'time, {sum(m[2] for m in marks if m[0] == "pause"):.1f} s of it in pauses</text>',
           f'<line x1="20" y1="40" x2="{width - 20}" y2="40" stroke="black"/>']
    for kind, t, length, _ in marks:
        if kind == "pause":
            out.append(f'<rect x="{x(t):.1f}" y="30" width="{max(1, x(t + length) - x(t)):.1f}" '
                       'height="20" fill="#f0c040"/>')
        elif kind in ("flash", "i2c"):
            colour = "#c04040" if kind == "flash" else "#8040c0"
            out.append(f'<line x1="{x(t):.1f}" y1="32" x2="{x(t):.1f}" y2="48" stroke="{colour}"/>')
    for i, (kind, t, _, label) in enumerate(labelled):
        y = 60 + row * i
        colour = {"pause": "#a07000", "shell": "#2050a0", "eeprom": "#8040c0"}.get(kind, "#208020")
        out.append(f'<line x1="{x(t):.1f}" y1="40" x2="{x(t):.1f}" y2="{y - 4}" '
                   f'stroke="{colour}" stroke-opacity="0.4"/>')
        anchor = "end" if x(t) > width / 2 else "start"  # labels stay on the picture
        out.append(f'<text x="{x(t):.1f}" y="{y}" fill="{colour}" text-anchor="{anchor}">'
                   f'{t:.2f} s {html_escape(label)}</text>')
    out.append("</svg>")
    text = "\n".join(out) + "\n"
    if output:
        with open(output, "w") as f:
            f.write(text)
    else:
        print(text, end="")


# SPDX-License-Identifier: MIT
# Journal helper for the simulated blade's platform stand-ins (sourced by them).
json_escape() { printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g'; }
json_args() {
    out=""
    for a in "$@"; do out="$out${out:+, }\"$(json_escape "$a")\""; done
    printf '[%s]' "$out"
}
journal() {
    [ -n "$BLADESIM_JOURNAL" ] || return 0
    printf '{"t": %s, "pid": %d, "event": "%s"%s}\n' "$(/usr/bin/date +%s.%N)" "$$" "$1" \
        "${2:+, $2}" >>"$BLADESIM_JOURNAL"
}
# True when the board's fault list holds NAME as an item of its own.
has_fault() {
    printf '%s\n' "$BLADESIM_FAULTS" | tr ',' '\n' | grep -qx "$1"
}
# Erases and writes of the board's storage are numbered across the board's processes,
# with the launcher's own (the device library's power.cpp); at the one that cut@N names,
# the power fails: the launcher and the writer die before it happens.
cut_point() {
    printf '%s\n' "$BLADESIM_FAULTS" | tr ',' '\n' | sed -n 's/^cut@//p' | head -n 1
}
# Takes the next COUNT numbers; prints the first.
reserve_writes() {
    /usr/bin/flock /run/bladesim-writes /bin/sh -c \
        'n=$(cat /run/bladesim-writes 2>/dev/null); n=${n:-0}; echo $((n + $1)) >/run/bladesim-writes; echo $((n + 1))' \
        sh "$1"
}
power_cut() {
    journal power-cut "\"operation\": $1"
    kill -KILL "$(cat /run/bladesim-launcher.pid)" 2>/dev/null
    kill -KILL $$
}

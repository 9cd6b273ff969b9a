# SPDX-License-Identifier: MIT
# Journal helper for the simulated blade's platform stand-ins (sourced by them), with the
# board's facts and fault names, generated from sim/board.json.
. "${BLADESIM_SETTINGS:-/sim/board.sh}"
# A JSON string's inside, for any bytes: quote and backslash escaped, control characters
# and bytes from 127 up as \u00XX, as the device library writes them.
json_escape() {
    printf '%s' "$1" | od -An -v -tu1 | awk '{
        for (i = 1; i <= NF; i++) {
            c = $i + 0
            if (c == 34) printf "\\\""
            else if (c == 92) printf "\\\\"
            else if (c < 32 || c >= 127) printf "\\u%04x", c
            else printf "%c", c
        }
    }'
}
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
    printf '%s\n' "$BLADESIM_FAULTS" | tr ',' '\n' | sed -n "s/^$FAULT_CUT@//p" | head -n 1
}
# Takes the next COUNT numbers; prints the first.
reserve_writes() {
    /usr/bin/flock "$BOARD_WRITES" /bin/sh -c \
        'n=$(cat "$2" 2>/dev/null); n=${n:-0}; echo $((n + $1)) >"$2"; echo $((n + 1))' \
        sh "$1" "$BOARD_WRITES"
}
power_cut() {
    journal power-cut "\"operation\": $1"
    kill -KILL "$(cat "$BOARD_LAUNCHER_PID")" 2>/dev/null
    kill -KILL $$
}

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

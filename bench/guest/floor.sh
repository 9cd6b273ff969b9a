# SPDX-License-Identifier: MIT
# Run by the system board's guest after the launcher ended (bladesim boot --after): what
# the same guest takes, cache-cold, for the slot the launcher read, by the plainest means:
# reading the slot file, and unpacking its application archive.
. /etc/board/board.sh
slot="$BOARD_SLOTS/$(cat /run/phase-slot)"
sync
echo 3 > /proc/sys/vm/drop_caches
phases time cat "cat $slot > /dev/null"
phases time untar "mkdir -p /tmp/floor && cd /tmp/floor && tail -c +17 $slot | gunzip | tar x"

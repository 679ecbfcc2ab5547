#!/bin/bash
# Checks that every include between the rooms of src/ points the way
# src/rooms.txt declares: a file may include its own room and the rooms its
# room's line names, and a room's line names only rooms listed below it.
# Prints each offending line and exits 1; exits 0 when there is none.
#   scripts/check-rooms.sh [SRC_DIR]
set -uo pipefail
src=${1:-$(dirname "$0")/../src}
table=$src/rooms.txt
[ -f "$table" ] || { echo "check-rooms: no $table" >&2; exit 1; }

# "FILE:LINE:#include "ROOM/" for every include of a room.
includes=$(cd "$src" && grep -rnoE '^#include "[a-z]+/' --include='*.h' --include='*.cpp' .)
awk '
    function fail(text) { print text; failed = 1 }
    FNR == NR {
        if ($0 ~ /^#/ || $0 !~ /:/) next
        room = $1; sub(/:$/, "", room)
        rank[room] = ++rooms
        names[room] = $0
        next
    }
    FNR == 1 {
        # The table itself: each room names only rooms below it.
        for (room in names) {
            n = split(names[room], below, " ")
            for (i = 2; i <= n; i++) {
                if (!(below[i] in rank)) fail("rooms.txt: " room " names " below[i] ", which is no room")
                else if (rank[below[i]] <= rank[room]) fail("rooms.txt: " room " names " below[i] ", which is not below it")
                else may[room, below[i]] = 1
            }
        }
    }
    $0 == "" { next }
    {
        where = $0; sub(/^\.\//, "", where); sub(/:#include.*/, "", where)
        from = where; sub(/\/.*/, "", from)
        to = $0; sub(/.*#include "/, "", to); sub(/\/$/, "", to)
        if (!(from in rank)) fail("src/" where ": " from "/ is no room of rooms.txt")
        else if (to != from && !may[from, to]) fail("src/" where ": " from " includes " to "/, which rooms.txt does not let it")
    }
    END { exit failed }
' "$table" - <<< "$includes"

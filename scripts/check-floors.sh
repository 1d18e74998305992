#!/usr/bin/env bash
# Checks that every room of the source tree includes only its own headers and
# those of the rooms below it, as docs/architecture.md draws them. Prints each
# include that reaches up or sideways and exits 1 when there is one.
#
#   scripts/check-floors.sh [REPO]
set -euo pipefail
repo=${1:-$(cd "$(dirname "$0")/.." && pwd)}

# room: the rooms it may include (itself always).
declare -A may=(
    [support]=""
    [history]=""
    [onewire]="support"
    [simulator]="onewire support"
    [backends]="simulator onewire support"
    [outputs]="history support"
    [logger]="outputs backends onewire support"
    [probe]="logger outputs backends onewire support"
    [viewer]="history support"
    [web]="history support"
)

status=0
for room in "${!may[@]}"; do
    [ -d "$repo/$room" ] || continue
    allowed=" $room ${may[$room]} "
    while IFS= read -r hit; do
        file=${hit%%:*}
        target=${hit#*\"}
        target=${target%%/*}
        if [[ $allowed != *" $target "* ]]; then
            echo "${file#"$repo"/}: $room includes from $target/"
            status=1
        fi
    done < <(grep -rHoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z_]+/' "$repo/$room" \
                 --include='*.h' --include='*.cpp' || true)
done
[ $status -eq 0 ] && echo "floors: every include reaches down"
exit $status

#!/bin/sh
# Checks scanlog's include graph: every quoted include runs down the layers (commands -> play
# and pictures -> stream -> formats -> the viewer's src/), and no unit (a .cpp with its .hpp)
# reaches itself through others. Prints each offence; status 1 when there is one.
#   tools/check_includes.sh [SOURCE_DIR]
cd "${1:-$(dirname "$0")/..}" || exit 2
for file in $(find scanlog src -name '*.cpp' -o -name '*.hpp' | sort); do
    folder=$(dirname "$file")
    sed -n 's/^#include "\(.*\)".*/\1/p' "$file" | while read -r name; do
        case "$name" in
            */*) target="scanlog/$name" ;;
            *) if [ -e "$folder/$name" ]; then target="$folder/$name"; else target="src/$name"; fi ;;
        esac
        echo "$file $target"
    done
done | awk '
    function layer(path) {
        if (path ~ /^src\//) return 0
        if (path ~ /^scanlog\/formats\//) return 1
        if (path ~ /^scanlog\/stream\//) return 2
        if (path ~ /^scanlog\/(play|pictures)\//) return 3
        if (path ~ /^scanlog\/commands\//) return 4
        return -1
    }
    function unit(path) { sub(/\.(cpp|hpp)$/, "", path); return path }
    function folder(path) { sub(/\/[^\/]*$/, "", path); return path }
    {
        from = $1; to = $2
        if (layer(to) < 0) { print "unknown include: " from " -> " to; bad = 1; next }
        if (layer(to) > layer(from) || (layer(to) == 3 && layer(from) == 3 && folder(to) != folder(from))) {
            print "runs up or across the layers: " from " -> " to; bad = 1
        }
        a = unit(from); b = unit(to)
        if (a != b && !((a SUBSEP b) in edge)) { edge[a, b] = 1; out[a] = out[a] " " b; nodes[a]; nodes[b] }
    }
    function visit(n,   i, k, list) {
        state[n] = 1
        k = split(out[n], list, " ")
        for (i = 1; i <= k; ++i) {
            if (state[list[i]] == 1) { print "cycle through " n " -> " list[i]; bad = 1 }
            else if (state[list[i]] == 0) visit(list[i])
        }
        state[n] = 2
    }
    END {
        for (n in nodes) if (state[n] == 0) visit(n)
        exit bad
    }'

#!/usr/bin/env bash
# ra62d2ide.exe under wine against a Linux vo62-sim, once over TCP (the
# simulator as the USB list shows it on Windows) and once over COM7, which
# the wine prefix maps to the simulator's pseudo-terminal so that the Win32
# serial code carries the bytes. Each run does "gs", "gp" (extended, saved),
# "ml" (every file) and "ds"; the files must equal those of the Linux
# console's run: binary files byte for byte, text files after CR LF -> LF
# (and every line of them must end in CR LF). A COM number mapped to nothing
# must fail with the open-error line naming the port, and --version must
# answer as on Linux.
#   tests/windows/wine_e2e.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
# WINEPREFIX may name a prefix made already; otherwise one is made in the
# run's temporary directory.
set -u
linux_bin=$(cd "$1" && pwd)/bin
exe=$(cd "$2" && pwd)/bin/ra62d2ide.exe

WINE_RUN_S=120   # bound of one console run under wine
WINE_BOOT_S=180  # bound of making the prefix
SIM_START_S=30   # bound of the simulator's announcement

tmp=$(mktemp -d /tmp/ra62-wine-e2e-XXXXXX)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid"
    timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
export VO62_SIM_DIR=$tmp/sim
source "$(dirname "$0")/wine_common.sh"

mkdir -p "$tmp/sim" "$tmp/card"
"$linux_bin/vo62-sim" --card "$tmp/card" --seed 7 --tcp 0 \
    >"$tmp/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq $((SIM_START_S * 10))); do
    ls "$tmp"/sim/sim-*.ann >/dev/null 2>&1 && break
    sleep 0.1
done
pty=$(sed -n 's/^pty=//p' "$tmp"/sim/sim-*.ann)
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com7"

commands='gs
gp
y
y

ml
y
y
y
y
ds

q
'
# run DIR DIALOG PROGRAM...: one console session in DIR; its output (from
# the found device on, line ends made LF) goes to DIR.out.
run() {
    local dir=$tmp/$1 dialog=$2
    shift 2
    mkdir -p "$dir"
    (cd "$dir" && printf '%s%s' "$dialog" "$commands" |
        timeout $WINE_RUN_S "$@" >"$dir.raw" 2>&1)
    local rc=$?
    tr -d '\r' <"$dir.raw" | sed -n '/^Found device:/,$p' >"$dir.out"
    return $rc
}

# Files of DIR equal to the Linux run's, text files with CR LF line ends.
same_files() {
    local dir=$tmp/$1 f rel
    [ "$(cd "$tmp/linux" && find . -type f | sort)" = \
        "$(cd "$dir" && find . -type f | sort)" ] || return 1
    while read -r rel; do
        f=$dir/$rel
        case "$rel" in
        ./aaa | */kappa.dat | */data*.dat | ./params_*.txt)
            [ "$(grep -c $'\r$' "$f")" = "$(wc -l <"$f")" ] || return 1
            tr -d '\r' <"$f" | cmp -s - "$tmp/linux/$rel" || return 1
            ;;
        *) cmp -s "$f" "$tmp/linux/$rel" || return 1 ;;
        esac
    done < <(cd "$tmp/linux" && find . -type f)
}

run linux $'2\n1\n' "$linux_bin/ra62d2ide"
check "the Linux console's reference run" \
    test -s "$tmp/linux/sd.img" -a -s "$tmp/linux/aaa"

for route in tcp com; do
    [ $route = tcp ] && dialog=$'2\n1\n' || dialog=$'3\n7\n'
    run $route "$dialog" wine "$exe"
    check "$route: the console ends with status 0" test $? -eq 0
    check "$route: files equal to the Linux console's" same_files $route
    check "$route: console output equal to the Linux console's" \
        cmp -s "$tmp/$route.out" "$tmp/linux.out"
done
cmp -s "$tmp/com/sd.img" "$tmp/card/raw"
check "com: the card image equals the simulator's" test $? -eq 0

(cd "$tmp" && printf '3\n9\nq\n' |
    timeout $WINE_RUN_S wine "$exe" >"$tmp/nocom.raw" 2>&1)
tr -d '\r' <"$tmp/nocom.raw" >"$tmp/nocom.out"
check "COM9 mapped to nothing: the open error, then the connect error" \
    grep -Pzq '\nCannot open COM9: [^\n]+\n\nError connecting device!\n' \
    "$tmp/nocom.out"

# The command line: the version, as the Linux console prints it.
win_version=$(cd "$tmp" && timeout $WINE_RUN_S wine "$exe" --version 2>&1 |
    tr -d '\r')
check "--version prints what the Linux console prints" \
    test "$win_version" = "$("$linux_bin/ra62d2ide" --version)"

if [ $failed -ne 0 ]; then
    for f in "$tmp"/*.out; do
        echo "--- $(basename "$f")"
        tail -n 20 "$f"
    done
fi
echo "wine_e2e: $passed passed, $failed failed"
[ $failed -eq 0 ]

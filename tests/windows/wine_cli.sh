#!/usr/bin/env bash
# The command line of ra62d2ide.exe under wine against a Linux vo62-sim,
# through COM7 (mapped to the simulator's pseudo-terminal, so the Win32
# serial code carries every byte), each command compared with the Linux
# build's run of it against the same simulator: info --json (also through
# -p auto, the listing), log sync into a directory named "Měření", export
# from it, params get, card download, --resume of a cut image, Ctrl-C of a
# download (status 130) and its --resume; the exit statuses of a missing
# port (3), a bad argument (2) and an unwritable output (4); --help; list.
# JSON must be equal (the clock, the free heap and the seconds a transfer
# took left out); files byte for byte, except the text files the console
# writes too (kappa.dat, data*.dat), which end every line in CR LF on
# Windows and must equal Linux's after CR LF -> LF. The
# archive's aux data lie in aux_data/ on Windows (Windows reserves "aux").
# Then the console: a file name typed at its question as UTF-8, and, on a
# console window (a pseudo-terminal to wine), its cooked-mode prompt with a
# line printed while a command is half typed (tests/windows/console_pty.py).
#   tests/windows/wine_cli.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
# WINEPREFIX may name a prefix made already; otherwise one is made in the
# run's temporary directory.
set -u
linux_bin=$(cd "$1" && pwd)/bin
exe=$(cd "$2" && pwd)/bin/ra62d2ide.exe
here=$(cd "$(dirname "$0")" && pwd)

WINE_RUN_S=120   # bound of one program run under wine
WINE_BOOT_S=180  # bound of making the prefix
SIM_START_S=30   # bound of a simulator's announcement
CUT_WAIT_S=30    # bound of waiting for a download to be under way
CUT_BYTES=8192   # bytes a download has written when it is interrupted
PACED_BAUD=460800       # the interrupted download's line speed
PACED_IMAGE=131072      # and its card image: about 3 s at that speed
RESUME_AT=70001  # length of the image cut for --resume (not a whole read)

tmp=$(mktemp -d /tmp/ra62-wine-cli-XXXXXX)
sim_pids=()
cleanup() {
    local p
    for p in "${sim_pids[@]}"; do
        kill "$p" 2>/dev/null && wait "$p"
    done
    timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
source "$(dirname "$0")/wine_common.sh"

# start_sim NAME COM ARGS...: a simulator announced in $tmp/NAME/sim, its
# card in $tmp/NAME/card, its pseudo-terminal mapped to COM; sets sim_pty.
start_sim() {
    local name=$1 com=$2
    shift 2
    mkdir -p "$tmp/$name/sim" "$tmp/$name/card"
    VO62_SIM_DIR=$tmp/$name/sim "$linux_bin/vo62-sim" --card "$tmp/$name/card" \
        --seed 7 --tcp 0 "$@" >"$tmp/$name/sim.out" 2>&1 &
    sim_pids+=($!)
    for _ in $(seq $((SIM_START_S * 10))); do
        ls "$tmp/$name"/sim/sim-*.ann >/dev/null 2>&1 && break
        sleep 0.1
    done
    sim_pty=$(sed -n 's/^pty=//p' "$tmp/$name"/sim/sim-*.ann)
    ln -sfn "$sim_pty" "$WINEPREFIX/dosdevices/$com"
}

# lin NAME ARGS... / win NAME ARGS...: one run of the Linux program (in
# $tmp/lin) or of the Windows one (in $tmp/win, under wine); standard
# output to NAME.out, standard error to NAME.err (CR LF made LF), the status
# to NAME.rc.
lin() {
    local name=$1
    shift
    (cd "$tmp/lin" && timeout $WINE_RUN_S "$linux_bin/ra62d2ide" "$@" \
        >"$name.out" 2>"$name.err")
    echo $? >"$tmp/lin/$name.rc"
}
win() {
    local name=$1
    shift
    (cd "$tmp/win" && timeout $WINE_RUN_S wine "$exe" "$@" \
        >"$name.raw" 2>"$name.rawerr")
    echo $? >"$tmp/win/$name.rc"
    tr -d '\r' <"$tmp/win/$name.raw" >"$tmp/win/$name.out"
    tr -d '\r' <"$tmp/win/$name.rawerr" >"$tmp/win/$name.err"
}
status() { # status SIDE NAME WANTED
    [ "$(cat "$tmp/$1/$2.rc")" = "$3" ]
}
same_status() { # same_status NAME WANTED: both runs ended with WANTED
    status lin "$1" "$2" && status win "$1" "$2"
}
same_err() { cmp -s "$tmp/lin/$1.err" "$tmp/win/$1.err"; }
# The same lines but for the system's reason after the last ": ", which is
# the system's own words (ENOTDIR on Linux is ENOENT on Windows).
same_err_but_reason() {
    cmp -s <(sed 's/: [^:]*$//' "$tmp/lin/$1.err") \
        <(sed 's/: [^:]*$//' "$tmp/win/$1.err")
}
quiet_err() { [ ! -s "$tmp/win/$1.err" ]; }

# The JSON objects of both runs (or of the files A and B) are equal but for
# what changes between two runs: the instrument's clock, its free heap and
# the seconds a transfer took.
same_json() { same_json_files "$tmp/lin/$1.out" "$tmp/win/$1.out"; }
same_json_files() {
    python3 - "$1" "$2" <<'EOF'
import json, sys
def load(path):
    with open(path, encoding="utf-8") as f:
        j = json.load(f)
    for key in ("clock", "seconds"):
        j.pop(key, None)
    if isinstance(j.get("memory"), dict):
        j["memory"].pop("heap_free_bytes", None)
    return j
sys.exit(0 if load(sys.argv[1]) == load(sys.argv[2]) else 1)
EOF
}

# The files under REL of both runs are the same (aux_data/ on Windows is
# aux/ on Linux): the console's text files after CR LF -> LF with every
# line ending in CR LF, every other file byte for byte.
same_tree() {
    local rel=$1 f w
    [ "$(cd "$tmp/lin/$rel" && find . -type f | sort)" = \
        "$(cd "$tmp/win/$rel" && find . -type f | sed 's#/aux_data/#/aux/#' |
            sort)" ] || return 1
    while read -r f; do
        w=$tmp/win/$rel/${f/\/aux\//\/aux_data\/}
        case "$f" in
        */kappa.dat | */data*.dat)
            [ "$(grep -c $'\r$' "$w")" = "$(wc -l <"$w")" ] || return 1
            tr -d '\r' <"$w" | cmp -s - "$tmp/lin/$rel/$f" || return 1
            ;;
        *) cmp -s "$w" "$tmp/lin/$rel/$f" || return 1 ;;
        esac
    done < <(cd "$tmp/lin/$rel" && find . -type f)
}

mkdir -p "$tmp/lin" "$tmp/win"
start_sim a com7
pty_a=$sim_pty
export VO62_SIM_DIR=$tmp/a/sim

# The usage: the same subcommands and options.
lin help --help
win help --help
check "--help: the same text as on Linux" \
    cmp -s "$tmp/lin/help.out" "$tmp/win/help.out"
check "--help: lists log, card and export" \
    grep -q '^  export ' "$tmp/win/help.out"

# list: the simulator as the USB list of the console's dialog shows it.
win list --json list
check "list: the simulator by its TCP port" python3 -c '
import json, sys
j = json.load(open(sys.argv[1], encoding="utf-8"))
names = [e["name"] for e in j["instruments"]]
sys.exit(0 if len(names) == 1 and names[0].startswith("vo62-sim A000XXXX on 127.0.0.1:") else 1)
' "$tmp/win/list.out"

lin info -p "$pty_a" --json info
win info -p COM7 --json info
check "info --json through COM7: status 0" same_status info 0
check "info --json through COM7: the JSON of Linux's run" same_json info
win info_auto --json info
check "info --json through -p auto (the listing)" status win info_auto 0
check "info --json through -p auto: the JSON of Linux's run" \
    same_json_files "$tmp/lin/info.out" "$tmp/win/info_auto.out"

lin sync -p "$pty_a" --json log sync Měření --notes --raw --aux
win sync -p COM7 --json log sync Měření --notes --raw --aux
check "log sync into Měření: status 0" same_status sync 0
check "log sync into Měření: the JSON of Linux's run" same_json sync
check "log sync into Měření: the files of Linux's run" same_tree Měření

lin export --json export Měření
win export --json export Měření
check "export from Měření: status 0" same_status export 0
check "export from Měření: the JSON of Linux's run" same_json export
check "export from Měření: the files of Linux's run, byte for byte" \
    diff -r "$tmp/lin/Měření/export" "$tmp/win/Měření/export"
win export_again --json export Měření
check "export again: the files replaced, status 0" status win export_again 0

lin params -p "$pty_a" --json params get --extended --out params.txt
win params -p COM7 --json params get --extended --out params.txt
check "params get: status 0" same_status params 0
check "params get: the JSON of Linux's run" same_json params
check "params get: the listing of Linux's run, byte for byte" \
    cmp -s "$tmp/lin/params.txt" "$tmp/win/params.txt"

lin card -p "$pty_a" --json card download sd.img
win card -p COM7 --json card download sd.img
check "card download: status 0" same_status card 0
check "card download: the JSON of Linux's run" same_json card
check "card download: the simulator's image, byte for byte" \
    cmp -s "$tmp/win/sd.img" "$tmp/a/card/raw"
check "card download: no progress bar on a redirected standard error" \
    quiet_err card

head -c $RESUME_AT "$tmp/a/card/raw" >"$tmp/lin/cut.img"
head -c $RESUME_AT "$tmp/a/card/raw" >"$tmp/win/cut.img"
lin resume -p "$pty_a" --json card download cut.img --resume
win resume -p COM7 --json card download cut.img --resume
check "card download --resume: status 0" same_status resume 0
check "card download --resume: the JSON of Linux's run" same_json resume
check "card download --resume: the simulator's image" \
    cmp -s "$tmp/win/cut.img" "$tmp/a/card/raw"

# Exit statuses.
lin noport -p /dev/ra62-no-such-port info
win noport -p COM9 info
check "a missing port: status 3" same_status noport 3
check "a missing port: the open error names COM9" \
    grep -q '^Cannot open COM9: ' "$tmp/win/noport.err"
lin badarg info --bogus
win badarg info --bogus
check "a bad argument: status 2" same_status badarg 2
check "a bad argument: the line of Linux's run" same_err badarg
printf 'x' >"$tmp/lin/plain" && printf 'x' >"$tmp/win/plain"
lin unwritable -p "$pty_a" card download plain/sd.img
win unwritable -p COM7 card download plain/sd.img
check "an unwritable output: status 4" same_status unwritable 4
check "an unwritable output: the line of Linux's run" same_err_but_reason unwritable
lin unwritable_dir -p "$pty_a" log sync plain
win unwritable_dir -p COM7 log sync plain
check "a log directory that is a file: status 4" same_status unwritable_dir 4

# Ctrl-C of a paced download: status 130, the part kept and named, and
# --resume completes it.
start_sim paced com8 --baud $PACED_BAUD --image-size $PACED_IMAGE
(cd "$tmp/win" && exec timeout $WINE_RUN_S wine "$exe" -p COM8 --json \
    card download paced.img >cut.raw 2>cut.rawerr) &
cut_pid=$!
for _ in $(seq $((CUT_WAIT_S * 10))); do
    [ "$(stat -c %s "$tmp/win/paced.img" 2>/dev/null || echo 0)" -ge \
        $CUT_BYTES ] && break
    sleep 0.1
done
# The program itself, the child of timeout (wine runs it in its process).
kill -INT "$(pgrep -P $cut_pid)" 2>/dev/null
wait $cut_pid
echo $? >"$tmp/win/cut.rc"
tr -d '\r' <"$tmp/win/cut.rawerr" >"$tmp/win/cut.err"
tr -d '\r' <"$tmp/win/cut.raw" >"$tmp/win/cut.out"
check "Ctrl-C of a download: status 130" status win cut 130
check "Ctrl-C of a download: the part kept is named" \
    grep -q '^Stopped at offset [0-9]*: the first [0-9]* bytes of the sd image are in paced.img.$' \
    "$tmp/win/cut.err"
check "Ctrl-C of a download: the JSON says incomplete" \
    grep -q '"complete":false' "$tmp/win/cut.out"
win paced -p COM8 --json card download paced.img --resume
check "--resume after Ctrl-C: the simulator's image" \
    cmp -s "$tmp/win/paced.img" "$tmp/paced/card/raw"

# The console: a file name typed at its question, in UTF-8, from a pipe.
mkdir -p "$tmp/con"
(cd "$tmp/con" && printf '3\n7\ncs\nSnímek.bmp\nq\n' |
    timeout $WINE_RUN_S wine "$exe" >console.out 2>&1)
check "console: the screen saved under the name typed" \
    test -s "$tmp/con/Snímek.bmp"
lin screen -p "$pty_a" screen screen.bmp
check "console: the screen of Linux's run" \
    cmp -s "$tmp/con/Snímek.bmp" "$tmp/lin/screen.bmp"

# The console on a console window: its questions and prompt in cooked mode.
start_sim tty com5
mkdir -p "$tmp/tty/work"
check "console window: questions, the prompt and a line while typing" \
    env VO62_SIM_DIR="$tmp/tty/sim" timeout $WINE_RUN_S python3 \
    "$here/console_pty.py" "$exe" "$tmp/tty/work" "${sim_pids[-1]}" \
    "$tmp/tty/work/Měření.bmp"

if [ $failed -ne 0 ]; then
    for f in "$tmp"/win/*.err "$tmp/con/console.out"; do
        echo "--- $f"
        tail -n 5 "$f"
    done
fi
echo "wine_cli: $passed passed, $failed failed"
[ $failed -eq 0 ]

#!/usr/bin/env bash
# The whole program as a person starts it, on a private X server: a copy of
# the built keynook in a folder of its own beside a vault of 100,000 entries.
# Each run measures
#   - from the process start to the master password dialog on the screen,
#   - from Return on the right password to the main window on the screen
#     with its list painted (its picture no longer changing),
#   - the peak memory of the run (VmHWM), read once the list is painted;
# then the same with a vault that holds no entries, for the memory the
# program needs without them.
#
# Usage: program_startup.sh <keynook> <make_bench_vault> <window_watch> <runs> <results file>
# The results file gets one "name=value" line per figure (medians over the
# runs); progress goes to stderr.
#
# Waiting is always for a real condition: window_watch polls the X server
# under a deadline, and every other wait is a bounded poll.

set -u

KEYNOOK_BUILT=${1:?usage: $0 <keynook> <make_bench_vault> <window_watch> <runs> <results file>}
MAKE_VAULT=${2:?}
WATCH=${3:?}
RUNS=${4:?}
RESULTS=${5:?}

ENTRIES=100000
PASSWORD='Correct horse 42'
PASS_TITLE='^Password Required$'
MAIN_TITLE='^Keynook by Quietlatch Labs$'
# The list and the status line below it, in client pixels of the main window:
# the list's top edge is 150 px down (1980 twips below an 18 px menu bar).
LIST_TOP=150
# A painted list is mostly white with rows of dark text; these hold for a
# list of many rows and for an empty one with its header and status text.
MIN_LIGHT_PERCENT=30
MIN_DARK_PIXELS=60
# How long the picture must stay the same before it counts as final.
QUIET_MS=600

# shellcheck source=bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh" || exit 1

say() { printf '[program] %s\n' "$*" >&2; }
fail() {
    say "FAIL: $*"
    [[ -s "${APP_LOG:-}" ]] && sed 's/^/    /' "$APP_LOG" >&2
    exit 1
}

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || {
        say "skipped: $tool is not installed"
        printf 'program_skipped=%s is not installed\n' "$tool" >"$RESULTS"
        exit 0
    }
done
[[ -x "$WATCH" ]] || {
    say "skipped: no window watcher (the X11 headers were missing at build time)"
    printf 'program_skipped=no window watcher\n' >"$RESULTS"
    exit 0
}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-program.XXXXXX") || fail "mktemp failed"
XVFB_PID=""
APP_PID=""
cleanup() {
    [[ -n "$APP_PID" ]] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
    [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

APP_DIR="$WORK/app"
APP_LOG="$WORK/keynook.log"
mkdir -p "$APP_DIR" "$WORK/home" "$WORK/config/Keynook" "$WORK/data" "$WORK/cache" "$WORK/runtime"
chmod 0700 "$WORK/runtime"
cp "$KEYNOOK_BUILT" "$APP_DIR/keynook" || fail "cannot copy the program"
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"
export XDG_CACHE_HOME="$WORK/cache" XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=xcb
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER XAUTHORITY WAYLAND_DISPLAY
unset QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_FONT_DPI
# A returning user who unticked "Show at Startup": the help window would
# otherwise cover the list whose painting is timed.
printf '[Settings]\nshowHelp=0\n' >"$WORK/config/Keynook/Keynook.conf"

"$MAKE_VAULT" "$ENTRIES" "$PASSWORD" "$WORK/vault-full.enc" || fail "cannot write the vault"
"$MAKE_VAULT" 0 "$PASSWORD" "$WORK/vault-empty.enc" || fail "cannot write the empty vault"
VAULT_BYTES=$(stat -c %s "$WORK/vault-full.enc")

start_xvfb


stop_program() {
    kill "$APP_PID" 2>/dev/null
    timeout 20 tail --pid="$APP_PID" -f /dev/null
    wait "$APP_PID" 2>/dev/null
    APP_PID=""
}

# One start on vault $1. Prints "<ms to dialog> <ms to painted list> <peak kB>".
one_run() {
    local vault=$1 start out pass_win unlock main_painted peak
    rm -f "$APP_DIR"/data.enc "$APP_DIR"/.data.enc*
    cp "$vault" "$APP_DIR/data.enc" || fail "cannot copy the vault"
    : >"$APP_LOG"
    start=$(date +%s%N)
    (cd "$APP_DIR" && exec ./keynook) >"$APP_LOG" 2>&1 &
    APP_PID=$!
    out=$("$WATCH" shown "$PASS_TITLE" "$start" 30000) ||
        fail "no password dialog within 30 s"
    read -r pass_win DIALOG_MS <<<"$out"
    xdotool windowfocus --sync "$pass_win" || fail "cannot focus the password dialog"
    xdotool type --clearmodifiers --delay 0 -- "$PASSWORD" || fail "typing failed"
    unlock=$(date +%s%N)
    xdotool key --clearmodifiers Return || fail "pressing Return failed"
    out=$("$WATCH" painted "$MAIN_TITLE" "$unlock" 60000 --area "0,$LIST_TOP,0,0" \
        --quiet "$QUIET_MS" --min-light "$MIN_LIGHT_PERCENT" --min-dark "$MIN_DARK_PIXELS") ||
        fail "the main window did not show a painted list within 60 s"
    read -r _ _ main_painted _ <<<"$out"
    peak=$(peak_kb "$APP_PID")
    [[ -n "$peak" ]] || fail "the program is gone before its memory could be read"
    stop_program
    printf '%s %s %s\n' "$DIALOG_MS" "$main_painted" "$peak"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit; if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

runs_full="$WORK/runs-full"
runs_empty="$WORK/runs-empty"
for ((r = 1; r <= RUNS; r++)); do
    one_run "$WORK/vault-full.enc" >>"$runs_full"
    say "run $r/$RUNS, $ENTRIES entries: $(tail -n1 "$runs_full") (ms to dialog, ms to painted list, peak kB)"
done
for ((r = 1; r <= RUNS; r++)); do
    one_run "$WORK/vault-empty.enc" >>"$runs_empty"
    say "run $r/$RUNS, no entries: $(tail -n1 "$runs_empty")"
done

{
    printf 'program_runs=%s\n' "$RUNS"
    printf 'program_entries=%s\n' "$ENTRIES"
    printf 'program_vault_bytes=%s\n' "$VAULT_BYTES"
    printf 'program_dialog_ms=%s\n' "$(awk '{ print $1 }' "$runs_full" | median)"
    printf 'program_unlock_ms=%s\n' "$(awk '{ print $2 }' "$runs_full" | median)"
    printf 'program_peak_kb=%s\n' "$(awk '{ print $3 }' "$runs_full" | median)"
    printf 'program_empty_dialog_ms=%s\n' "$(awk '{ print $1 }' "$runs_empty" | median)"
    printf 'program_empty_unlock_ms=%s\n' "$(awk '{ print $2 }' "$runs_empty" | median)"
    printf 'program_empty_peak_kb=%s\n' "$(awk '{ print $3 }' "$runs_empty" | median)"
} >"$RESULTS"

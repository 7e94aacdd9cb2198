#!/usr/bin/env bash
# The peer beside Keynook: KeePassXC from Debian's packages, on a database of
# the same 100,000 entries (the same texts, written by make_bench_vault). It
# is installed here when missing, for `make bench` only; when that cannot be
# done the results say why and the report leaves the peer's columns empty.
#
# Measured, in several runs each:
#   - keepassxc-cli ls: open the database and list it, on 100,000 entries and
#     on none (what the start and the key derivation alone cost);
#   - keepassxc-cli add: open, add one entry, save; less the open, that is
#     the peer's save;
#   - keepassxc-cli export --format csv: open the database and write every
#     entry as CSV to a file (through standard output);
#   - keepassxc-cli merge: two copies of the database changed apart, as
#     bench_merge merges them (1,000 changes on each side, edits newer than
#     the base and removals recorded as deletions, which its merge keeps
#     anyway), the second into a fresh copy of the first: open both, merge,
#     save;
#   - keepassxc-cli import: its own XML export of the database (made once
#     with export --format xml and cached beside the database) into a new
#     database with the same key derivation: read the XML, derive the key,
#     write and encrypt the new file;
#   - keynook-cli import of the same XML into an empty vault, whole (when
#     keynook-cli is given): start, lock, read the XML, save;
#   - its window, started on the database as a person would: from Return on
#     the typed password to the entries painted, its peak memory (VmHWM) at
#     that point, and a click on the Username header until the window
#     answers again with its rows re-sorted.
#
# The database uses the cheapest key derivation the peer's tools allow: a
# target of 100 ms, their minimum. Making it takes a while, so it is kept in
# the cache folder and made again only when the entries or the peer change.
#
# Usage: peer_keepassxc.sh <make_bench_vault> <window_watch> <cache folder> <runs> <results file>
#                          [<keynook-cli>]

set -u

MAKE_VAULT=${1:?usage: $0 <make_bench_vault> <window_watch> <cache folder> <runs> <results file>}
WATCH=${2:?}
CACHE=${3:?}
RUNS=${4:?}
RESULTS=${5:?}
KEYNOOK_CLI=${6:-}
SHOTS=$(dirname "$RESULTS")

ENTRIES=100000
PASSWORD='Correct horse 42'
KDF_MS=100
LOCKED_TITLE='\[Locked\] - KeePassXC$'
OPEN_TITLE='^[^[]* - KeePassXC$'
# Places in the peer's main window at its default size (800 x 600, which a
# fresh configuration gives), in client pixels: the entry table's header and
# first rows, the status line's entry count at the bottom right, and the
# Username column's header.
TABLE_AREA=243,95,532,206
# For the sort: the Username cells of rows 2 to 6. At the click the peer
# repaints its header and selected row at once and only then sorts, for
# seconds, with nothing on screen changing: the sort is timed until the
# window answers promptly again, and its rows must then differ from before.
ROWS_AREA=410,155,90,140
COUNT_MARK=560,570,240,30,50
USERNAME_HEADER_X=455
USERNAME_HEADER_Y=109
QUIET_MS=600

# shellcheck source=bench_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh" || exit 1

say() { printf '[peer] %s\n' "$*" >&2; }
skip() {
    say "skipped: $*"
    printf 'peer_skipped=%s\n' "$*" >"$RESULTS"
    exit 0
}
fail() {
    say "FAIL: $*"
    [[ -s "${APP_LOG:-}" ]] && sed 's/^/    /' "$APP_LOG" | tail -n 20 >&2
    printf 'peer_skipped=%s\n' "$*" >"$RESULTS"
    exit 1
}

install_peer() {
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null && sudo -n true 2>/dev/null ||
            return 1
        sudo=(sudo -n)
    fi
    say "installing keepassxc from Debian's packages (for the benchmarks only)"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq >&2 &&
        "${sudo[@]}" apt-get install -y -qq --no-install-recommends keepassxc >&2
}

if ! command -v keepassxc-cli >/dev/null || ! command -v keepassxc >/dev/null; then
    install_peer || skip "keepassxc is not installed and could not be installed (needs root or sudo)"
    command -v keepassxc-cli >/dev/null || skip "keepassxc could not be installed"
fi
PEER_VERSION=$(keepassxc-cli --version 2>/dev/null | head -n1)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-peer.XXXXXX") || fail "mktemp failed"
XVFB_PID=""
APP_PID=""
stop_peer() {
    [[ -n "$APP_PID" ]] || return 0
    kill "$APP_PID" 2>/dev/null
    timeout 10 tail --pid="$APP_PID" -f /dev/null || kill -KILL "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null
    APP_PID=""
}
cleanup() {
    stop_peer
    [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"
export XDG_CACHE_HOME="$WORK/cache"
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER XAUTHORITY WAYLAND_DISPLAY
unset QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_FONT_DPI

# ---------------------------------------------------------------------------
# The databases, from the cache when the same entries and peer made them.

mkdir -p "$CACHE" || fail "cannot create $CACHE"
# A third argument, ours or theirs, makes that copy of the merge.
make_database() {
    local count=$1 db=$2 side=${3:-} xml="$WORK/entries-$1.xml" key
    "$MAKE_VAULT" "$count" "$PASSWORD" "$WORK/unused.enc" "$xml" ${side:+"$side"} ||
        fail "cannot write the entries"
    key="$(sha256sum <"$xml" | cut -c1-64) $PEER_VERSION ${KDF_MS}ms"
    if [[ -s "$db" && "$(cat "$db.key" 2>/dev/null)" == "$key" ]]; then
        rm -f "$xml"
        return 0
    fi
    say "making the peer's database of $count entries (kept in $CACHE)"
    rm -f "$db" "$db.key"
    printf '%s\n%s\n' "$PASSWORD" "$PASSWORD" |
        keepassxc-cli import -q -p -t "$KDF_MS" "$xml" "$db" >"$WORK/import.log" 2>&1 ||
        fail "keepassxc-cli import failed: $(cat "$WORK/import.log")"
    printf '%s\n' "$key" >"$db.key"
    rm -f "$xml"
}
DB="$CACHE/peer-$ENTRIES.kdbx"
EMPTY_DB="$CACHE/peer-0.kdbx"
make_database "$ENTRIES" "$DB"
make_database 0 "$EMPTY_DB"
OURS_DB="$CACHE/peer-$ENTRIES-ours.kdbx"
THEIRS_DB="$CACHE/peer-$ENTRIES-theirs.kdbx"
make_database "$ENTRIES" "$OURS_DB" ours
make_database "$ENTRIES" "$THEIRS_DB" theirs
# Each side adds 500 entries (SideChanges) and edits keep their identity.
# The removals are written as deletions in its XML, but the peer's merge
# keeps every entry either side removed (seen with 2.7.4), so it ends with
# both sides' additions and no removal: more work for it, not less.
MERGED_ENTRIES=$((ENTRIES + 2 * 500))

# The peer's own XML of the database, for its import: remade with the
# database.
PEER_XML="$CACHE/peer-$ENTRIES.xml"
if [[ ! -s "$PEER_XML" || "$(cat "$PEER_XML.key" 2>/dev/null)" != "$(cat "$DB.key")" ]]; then
    say "exporting the peer's database as its XML (kept in $CACHE)"
    rm -f "$PEER_XML" "$PEER_XML.key"
    printf '%s\n' "$PASSWORD" |
        keepassxc-cli export -q -f xml "$DB" >"$WORK/peer.xml" 2>"$WORK/export.log" ||
        fail "keepassxc-cli export --format xml failed: $(cat "$WORK/export.log")"
    # It holds every password in plain text, as the database's own files
    # are kept: owner-only.
    { chmod 0600 "$WORK/peer.xml" && mv "$WORK/peer.xml" "$PEER_XML" &&
        cp "$DB.key" "$PEER_XML.key"; } ||
        fail "cannot keep the peer's XML in $CACHE"
fi

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit; if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ms_since() {
    echo $((($(date +%s%N) - $1) / 1000000))
}

# ---------------------------------------------------------------------------
# The command-line tool.

cli_ls_ms() {
    local db=$1 want=$2 start lines
    start=$(date +%s%N)
    # An empty group lists as the one line "[empty]".
    lines=$(printf '%s\n' "$PASSWORD" | keepassxc-cli ls -q "$db" | grep -cvx '\[empty\]')
    ms_since "$start"
    [[ "$lines" -eq "$want" ]] || fail "keepassxc-cli ls listed $lines entries, expected $want"
}

cli_add_ms() {
    local copy="$WORK/add.kdbx" start
    cp "$DB" "$copy" || fail "cannot copy the database"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        keepassxc-cli add -q -u added.user --url https://added.example "$copy" "Added entry" \
            >"$WORK/add.log" 2>&1 || fail "keepassxc-cli add failed: $(cat "$WORK/add.log")"
    ms_since "$start"
    rm -f "$copy"
}

# Every entry as CSV, written to a file as a person would redirect it; the
# file must hold the header and one line per entry.
cli_export_ms() {
    local out="$WORK/export.csv" start lines
    rm -f "$out"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        keepassxc-cli export -q -f csv "$DB" >"$out" 2>"$WORK/export.log" ||
        fail "keepassxc-cli export failed: $(cat "$WORK/export.log")"
    ms_since "$start"
    lines=$(wc -l <"$out")
    [[ "$lines" -eq $((ENTRIES + 1)) ]] ||
        fail "keepassxc-cli export wrote $lines lines, expected $((ENTRIES + 1))"
}

# Theirs into a fresh copy of ours, both under the same password.
cli_merge_ms() {
    local copy="$WORK/merged.kdbx" start
    cp "$OURS_DB" "$copy" || fail "cannot copy the database"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        keepassxc-cli merge -q -s "$copy" "$THEIRS_DB" >"$WORK/merge.log" 2>&1 ||
        fail "keepassxc-cli merge failed: $(cat "$WORK/merge.log")"
    ms_since "$start"
}

# The XML into a new database, its password given twice as the import asks.
cli_import_ms() {
    local db="$WORK/imported.kdbx" start
    rm -f "$db"
    start=$(date +%s%N)
    printf '%s\n%s\n' "$PASSWORD" "$PASSWORD" |
        keepassxc-cli import -q -p -t "$KDF_MS" "$PEER_XML" "$db" >"$WORK/import.log" 2>&1 ||
        fail "keepassxc-cli import failed: $(cat "$WORK/import.log")"
    ms_since "$start"
    [[ -s "$db" ]] || fail "keepassxc-cli import wrote no database"
}

# keynook-cli import of the peer's XML into a fresh empty vault, whole.
keynook_import_ms() {
    local vault="$WORK/keynook/data.enc" start
    rm -rf "$WORK/keynook" && mkdir -m 0700 "$WORK/keynook" || fail "cannot make a vault folder"
    "$MAKE_VAULT" 0 "$PASSWORD" "$vault" || fail "cannot write the empty vault"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        "$KEYNOOK_CLI" --vault "$vault" --password-stdin import "$PEER_XML" 2>"$WORK/keynook.log" ||
        fail "keynook-cli import of the peer's XML failed: $(cat "$WORK/keynook.log")"
    ms_since "$start"
    grep -q "^Imported $ENTRIES entries" "$WORK/keynook.log" ||
        fail "keynook-cli did not import every entry of the peer's XML: $(cat "$WORK/keynook.log")"
}

for ((r = 1; r <= RUNS; r++)); do
    [[ -n "$KEYNOOK_CLI" ]] && keynook_import_ms >>"$WORK/keynook-import"
    cli_ls_ms "$DB" "$ENTRIES" >>"$WORK/ls"
    cli_ls_ms "$EMPTY_DB" 0 >>"$WORK/ls-empty"
    cli_add_ms >>"$WORK/add"
    cli_export_ms >>"$WORK/export"
    cli_import_ms >>"$WORK/import"
    cli_merge_ms >>"$WORK/merge"
    # Once, untimed: the new database holds every entry, the merge every
    # change of both sides.
    ((r == 1)) && cli_ls_ms "$WORK/imported.kdbx" "$ENTRIES" >/dev/null
    ((r == 1)) && cli_ls_ms "$WORK/merged.kdbx" "$MERGED_ENTRIES" >/dev/null
    say "cli run $r/$RUNS: ls $(tail -n1 "$WORK/ls") ms, ls of none $(tail -n1 "$WORK/ls-empty") ms," \
        "add $(tail -n1 "$WORK/add") ms, export $(tail -n1 "$WORK/export") ms," \
        "import $(tail -n1 "$WORK/import") ms, merge $(tail -n1 "$WORK/merge") ms"
done
rm -f "$WORK/export.csv" "$WORK/imported.kdbx" "$WORK/merged.kdbx"

# ---------------------------------------------------------------------------
# The window.

command -v Xvfb >/dev/null && command -v xdotool >/dev/null && [[ -x "$WATCH" ]] ||
    WINDOW_SKIPPED="Xvfb, xdotool or the window watcher is missing"

if [[ -z "${WINDOW_SKIPPED:-}" ]]; then
    start_xvfb
    export QT_QPA_PLATFORM=xcb
fi

APP_LOG="$WORK/keepassxc.log"

# One start of the window. Prints "<ms to painted entries> <peak kB> <ms to sorted>".
window_run() {
    local out win before start painted peak sorted
    # A fresh configuration every time: the default window size and layout,
    # no remembered databases, no single-instance lock of an earlier run.
    rm -rf "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$WORK/runtime" "$HOME"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$WORK/runtime" "$HOME"
    chmod 0700 "$WORK/runtime"
    export XDG_RUNTIME_DIR="$WORK/runtime"
    : >"$APP_LOG"
    keepassxc "$DB" >"$APP_LOG" 2>&1 &
    APP_PID=$!
    out=$("$WATCH" shown "$LOCKED_TITLE" "$(date +%s%N)" 30000) ||
        fail "no locked database window within 30 s"
    read -r win _ <<<"$out"
    xdotool windowfocus --sync "$win" || fail "cannot focus the peer's window"
    xdotool type --clearmodifiers --delay 0 -- "$PASSWORD" || fail "typing failed"
    before=$("$WATCH" hash "$win" "$TABLE_AREA") || fail "cannot read the peer's window"
    start=$(date +%s%N)
    xdotool key --clearmodifiers Return || fail "pressing Return failed"
    out=$("$WATCH" painted "$OPEN_TITLE" "$start" 120000 --area "$TABLE_AREA" \
        --quiet "$QUIET_MS" --min-light 30 --min-dark 300 --mark "$COUNT_MARK" --not "$before") ||
        fail "the peer did not show its entries within 120 s"
    read -r _ _ painted before <<<"$out"
    peak=$(peak_kb "$APP_PID")
    [[ -n "$peak" ]] || fail "the peer is gone before its memory could be read"
    before=$("$WATCH" hash "$win" "$ROWS_AREA") || fail "cannot read the peer's window"
    xdotool mousemove --sync --window "$win" "$USERNAME_HEADER_X" "$USERNAME_HEADER_Y" ||
        fail "moving to the Username header failed"
    start=$(date +%s%N)
    xdotool click 1 || fail "clicking the Username header failed"
    sorted=$("$WATCH" answers "$win" "$start" 120000) ||
        fail "the peer did not answer within 120 s of the click"
    [[ "$("$WATCH" hash "$win" "$ROWS_AREA")" != "$before" ]] ||
        fail "the peer's rows did not change on the Username header click"
    # What the sorted window showed, to look at after the run.
    import -window "$win" "$SHOTS/peer-sorted.png" 2>/dev/null || true
    stop_peer
    printf '%s %s %s\n' "$painted" "$peak" "$sorted"
}

if [[ -z "${WINDOW_SKIPPED:-}" ]]; then
    for ((r = 1; r <= RUNS; r++)); do
        window_run >>"$WORK/window"
        say "window run $r/$RUNS: $(tail -n1 "$WORK/window") (ms to painted entries, peak kB, ms to sorted)"
    done
else
    say "window runs skipped: $WINDOW_SKIPPED"
fi

{
    printf 'peer_version=%s\n' "$PEER_VERSION"
    printf 'peer_runs=%s\n' "$RUNS"
    printf 'peer_entries=%s\n' "$ENTRIES"
    printf 'peer_kdf_ms=%s\n' "$KDF_MS"
    printf 'peer_db_bytes=%s\n' "$(stat -c %s "$DB")"
    printf 'peer_cli_ls_ms=%s\n' "$(median <"$WORK/ls")"
    printf 'peer_cli_ls_empty_ms=%s\n' "$(median <"$WORK/ls-empty")"
    printf 'peer_cli_add_ms=%s\n' "$(median <"$WORK/add")"
    printf 'peer_cli_export_ms=%s\n' "$(median <"$WORK/export")"
    printf 'peer_cli_import_ms=%s\n' "$(median <"$WORK/import")"
    [[ -s "$WORK/keynook-import" ]] &&
        printf 'peer_keynook_xml_import_ms=%s\n' "$(median <"$WORK/keynook-import")"
    printf 'peer_cli_merge_ms=%s\n' "$(median <"$WORK/merge")"
    printf 'peer_xml_bytes=%s\n' "$(stat -c %s "$PEER_XML")"
    if [[ -s "$WORK/window" ]]; then
        printf 'peer_window_unlock_ms=%s\n' "$(awk '{ print $1 }' "$WORK/window" | median)"
        printf 'peer_window_peak_kb=%s\n' "$(awk '{ print $2 }' "$WORK/window" | median)"
        printf 'peer_window_sort_ms=%s\n' "$(awk '{ print $3 }' "$WORK/window" | median)"
    else
        printf 'peer_window_skipped=%s\n' "${WINDOW_SKIPPED:-no run}"
    fi
} >"$RESULTS"

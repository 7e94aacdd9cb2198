# shellcheck shell=bash disable=SC2034 # constants here are used by the sourcing scripts
# Shared part of the end-to-end scripts: a private folder, settings and X
# server for one run of the real program, and helpers that drive its windows
# from outside as a person would (xdotool) and read back what it did (the
# vault bytes, the X clipboard, screenshots).
#
# Sourced, not run. The sourcing script sets E2E_NAME (used to name its
# failure screenshot, so scripts running in parallel keep theirs apart) and
# then calls e2e_setup with its own arguments:
#   e2e_setup <path to built keynook> [screenshot folder]
# Afterwards KEYNOOK, VAULT, APP_DIR, WORK and DISPLAY are set, and the
# temporary folder, the program and the X server go away when the script ends.
#
# Waiting is always for a real condition: xdotool --sync under timeout, short
# bounded polls of what the program shows or writes, tail --pid for its end.

MAIN_TITLE='^Keynook by Quietlatch Labs$'
PASS_TITLE='^Password Required$'
CRLF=0d0a

STARTED_AT=$SECONDS
STEP="setup"
SHOT_DIR=""
WORK=""
XVFB_PID=""
APP_PID=""
APP_LOG=""
# Functions that helpers sourced after this file add, run at exit once the
# program has ended and before the X server and the temporary folder go.
E2E_AT_EXIT=()

log() { printf '[e2e] %s\n' "$*"; }

fail() {
    printf '[e2e] FAIL (%s): %s\n' "$STEP" "$*" >&2
    if [[ -n "${DISPLAY:-}" && -n "${SHOT_DIR}" ]] && command -v import >/dev/null; then
        # The screen at the moment of failure is usually the quickest way to
        # see what went wrong.
        import -window root "$(failure_shot)" 2>/dev/null &&
            printf '[e2e] screen at failure: %s\n' "$(failure_shot)" >&2
    fi
    if [[ -n "${APP_LOG:-}" && -s "${APP_LOG}" ]]; then
        printf '[e2e] program output:\n' >&2
        sed 's/^/    /' "${APP_LOG}" >&2
    fi
    exit 1
}

failure_shot() {
    printf '%s/e2e-%s-failure.png' "$SHOT_DIR" "${E2E_NAME:-test}"
}

# Checks that every tool named is installed. Without them this machine cannot
# run the test, which is not a failure of the program: 77 is registered as the
# skip code. In CI the install script must have brought them, and a skip there
# would hide a missing install step.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null && continue
        if [[ -n "${CI:-}" ]]; then
            printf '[e2e] FAIL: %s is not installed\n' "$tool" >&2
            exit 1
        fi
        printf '[e2e] SKIP: %s is not installed\n' "$tool" >&2
        exit 77
    done
}

# Short bounded poll: run "$@" up to $1 times, $2 seconds apart, until it
# succeeds. Returns the last status.
poll() {
    local tries=$1 pause=$2
    shift 2
    local i
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep "$pause"
    done
    return 1
}

e2e_cleanup() {
    local hook
    if [[ -n "$APP_PID" ]] && kill -0 "$APP_PID" 2>/dev/null; then
        kill "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    for hook in "${E2E_AT_EXIT[@]}"; do "$hook"; done
    if [[ -n "$XVFB_PID" ]] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    [[ -n "$WORK" ]] && rm -rf "$WORK"
}

# Private folder, settings and X server. Nothing outside the temporary folder
# is read or written, apart from the screenshots, which go to the folder
# given as the second argument.
e2e_setup() {
    local built=${1:?usage: $0 <keynook executable> [screenshot folder]}
    SHOT_DIR=${2:-}

    require_tools Xvfb xdotool xclip import convert od timeout tail
    [[ -x "$built" ]] || fail "no executable at $built"
    if [[ -n "$SHOT_DIR" ]]; then
        mkdir -p "$SHOT_DIR" || fail "cannot create $SHOT_DIR"
        # A failure picture left by an earlier run would mislead whoever looks.
        rm -f "$(failure_shot)"
    fi

    WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-e2e.XXXXXX") || fail "mktemp failed"
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    # A portable folder: the program keeps data.enc beside itself when it can
    # write there, so the vault of this run lives in the temporary folder only.
    APP_DIR="$WORK/app"
    mkdir -p "$APP_DIR" "$WORK/home" "$WORK/config" "$WORK/data" "$WORK/runtime" ||
        fail "cannot create folders in $WORK"
    chmod 0700 "$WORK/runtime"
    cp "$built" "$APP_DIR/keynook" || fail "cannot copy the executable"
    KEYNOOK="$APP_DIR/keynook"
    VAULT="$APP_DIR/data.enc"
    APP_LOG="$WORK/keynook.log"

    export HOME="$WORK/home"
    export XDG_CONFIG_HOME="$WORK/config"
    export XDG_DATA_HOME="$WORK/data"
    export XDG_CACHE_HOME="$WORK/cache"
    export XDG_RUNTIME_DIR="$WORK/runtime"
    export QT_QPA_PLATFORM=xcb
    # Keep the program away from the desktop session of whoever runs the tests.
    unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER XAUTHORITY WAYLAND_DISPLAY
    unset QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_FONT_DPI

    # Xvfb picks a free display itself and writes its number to the file once
    # it accepts connections, so parallel tests never collide on a display
    # number.
    DISPLAY_FILE="$WORK/display"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
        3>"$DISPLAY_FILE" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    poll 100 0.1 display_ready || fail "Xvfb did not report a display within 10 s"
    DISPLAY=":$(head -n1 "$DISPLAY_FILE")"
    export DISPLAY
    log "Xvfb on display $DISPLAY, work folder $WORK"
}

display_ready() {
    kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb exited: $(cat "$WORK/xvfb.log")"
    grep -q '^[0-9][0-9]*$' "$DISPLAY_FILE" 2>/dev/null
}

# ---------------------------------------------------------------------------
# The vault bytes.

# Hex of the bytes of $1 with the top bit of each toggled, as the vault
# stores every line's text.
cipher_hex() {
    local b out=""
    for b in $(printf '%s' "$1" | od -An -v -tu1); do
        out+=$(printf '%02x' $((b ^ 0x80)))
    done
    printf '%s' "$out"
}

# Hex of one vault line: the text ciphered, then CR LF.
vault_line_hex() {
    printf '%s%s' "$(cipher_hex "$1")" "$CRLF"
}

# Hex of one entry line: username $1, password $2 and location $3.
entry_line_hex() {
    vault_line_hex "$1|||$2|||$3"
}

# Hex of a whole file, no separators.
file_hex() {
    od -An -v -tx1 "$1" | tr -d ' \n'
}

# Copies every readable mapping of process $1 (but the kernel's own and
# address space of over a GiB that a sanitizer reserves) into file $2.
dump_memory() {
    local range perms name start end
    : >"$2"
    while read -r range perms _ _ _ name; do
        [[ $perms == r* && $name != "[vvar]" && $name != "[vsyscall]" ]] || continue
        start=$((16#${range%-*}))
        end=$((16#${range#*-}))
        ((end - start < 1 << 30)) || continue
        dd if="/proc/$1/mem" bs=1M iflag=skip_bytes,count_bytes skip="$start" \
            count=$((end - start)) 2>/dev/null >>"$2"
    done <"/proc/$1/maps"
}

# Writes the bytes given as hex to file $2.
write_hex() {
    local hex=$1 esc="" i
    for ((i = 0; i < ${#hex}; i += 2)); do
        esc+="\\x${hex:i:2}"
    done
    printf '%b' "$esc" >"$2"
}

expect_vault() {
    local want=$1 what=$2 got
    [[ -f "$VAULT" ]] || fail "$what: $VAULT does not exist"
    got=$(file_hex "$VAULT")
    [[ "$got" == "$want" ]] ||
        fail "$what: data.enc is [$got], expected [$want]"
    log "ok: $what"
}

# ---------------------------------------------------------------------------
# The program and its windows.

start_program() { # [arguments for keynook]
    : >"$APP_LOG"
    # Started from inside its folder so nothing relative lands elsewhere.
    (cd "$APP_DIR" && exec "$KEYNOOK" "$@") >"$APP_LOG" 2>&1 &
    APP_PID=$!
    log "started keynook (pid $APP_PID)"
}

# Prints the id of the first visible window whose title matches $1, waiting
# up to $2 seconds for it.
# A search can fail outright when a window goes away while it looks (an X
# BadWindow error, as the password dialog closes just as the main window
# comes up), so it is asked again until the deadline rather than trusted once.
wait_window() {
    local title=$1 secs=$2 ids deadline=$((SECONDS + $2))
    while :; do
        ids=$(xdotool search --onlyvisible --name "$title" 2>/dev/null)
        if [[ -n "$ids" ]]; then
            printf '%s\n' "$ids" | head -n1
            return 0
        fi
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

no_visible_window() {
    [[ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]]
}

program_running() {
    kill -0 "$APP_PID" 2>/dev/null
}

# Sorted ids of all visible windows.
visible_windows() {
    xdotool search --onlyvisible --name '' 2>/dev/null | sort
}

# Waits for a visible window that was not in the list $1; prints its id.
new_visible_window() {
    local before=$1 now
    now=$(visible_windows)
    comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$now") | grep -m1 .
}

# Clicks the left button at client coordinates $2,$3 of window $1.
# mousemove --sync waits until the pointer has moved, and when it is where it
# is sent already (a second click on the same button) gives up only after
# 15 s: so the pointer first moves a pixel down and right (no test clicks
# in the screen's last row or column, where it could not).
click_at() {
    xdotool mousemove_relative --sync 1 1 mousemove --sync --window "$1" "$2" "$3" click 1 ||
        fail "clicking at $2,$3 in window $1 failed"
}

# Opens File (the first menu title, at the left of the menu bar) with the
# mouse and clicks Exit, the menu's only item, in the middle of the popup.
# Then waits for the program to end and checks it ended with code 0.
exit_through_file_menu() {
    local main=$1 before popup geom w h rc
    before=$(visible_windows)
    xdotool mousemove --window "$main" 20 10 click 1 || fail "clicking File failed"
    popup=$(poll 50 0.1 new_visible_window "$before") ||
        fail "the File menu did not open after a click on File"
    geom=$(xdotool getwindowgeometry --shell "$popup") || fail "no geometry for the File menu"
    w=$(sed -n 's/^WIDTH=//p' <<<"$geom")
    h=$(sed -n 's/^HEIGHT=//p' <<<"$geom")
    xdotool mousemove --window "$popup" $((w / 2)) $((h / 2)) click 1 ||
        fail "clicking Exit failed"
    timeout 20 tail --pid="$APP_PID" -f /dev/null ||
        fail "the program did not end within 20 s of File > Exit"
    wait "$APP_PID"
    rc=$?
    APP_PID=""
    [[ $rc -eq 0 ]] || fail "the program ended with code $rc after File > Exit, expected 0"
    log "ok: File > Exit ended the program with code 0"
}

type_into() {
    local win=$1 text=$2
    xdotool windowfocus --sync "$win" || fail "cannot focus window $win"
    xdotool type --clearmodifiers --delay 15 -- "$text" || fail "typing failed"
}

press_keys() {
    xdotool key --clearmodifiers "$@" || fail "pressing $* failed"
}

# Starts the program on an existing vault (with the arguments after $1, if
# any), types the master password $1 into 'Password Required' and waits for
# the main window, whose id it leaves in MAIN_WIN, and measures where the
# list body starts. (Not run in a subshell: the program's pid must stay
# known here.)
start_and_unlock() {
    local password=$1 pass_win
    shift
    MAIN_WIN=""
    start_program "$@"
    pass_win=$(wait_window "$PASS_TITLE" 20) ||
        fail "no visible 'Password Required' window within 20 s"
    log "ok: 'Password Required' shown (window $pass_win)"
    type_into "$pass_win" "$password"
    press_keys Return
    MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) ||
        fail "no visible main window within 20 s after the right password"
    log "ok: main window shown (window $MAIN_WIN)"
    poll 50 0.1 no_visible_window "$PASS_TITLE" ||
        fail "'Password Required' still visible after the main window appeared"
    find_list_body_top "$MAIN_WIN"
}

# Screenshot of the whole screen into the screenshot folder, when one was
# given: a developer's view of what the test saw, not a check.
screenshot() {
    [[ -n "$SHOT_DIR" ]] || return 0
    import -window root "$SHOT_DIR/$1" || fail "screenshot $1 failed"
    log "screenshot: $SHOT_DIR/$1"
}

# ---------------------------------------------------------------------------
# Places in the main window, in client coordinates of its X window. The
# window is laid out in twips (15 to a pixel at 96 dpi) below an 18 px menu
# bar: the Add button at 60,60 twips and Delete at 1260,60, each 1155 by
# 1035; the three copy buttons on one row at top 1140, height 795, from the
# left at 60 (2355 wide), 2460 (2355 wide) and 4860 (4095 wide). Clicks go
# to the middle of each.
ADD_BUTTON_X=42
ADD_BUTTON_Y=56
DELETE_BUTTON_X=122
DELETE_BUTTON_Y=56
COPY_BUTTONS_Y=120
COPY_USERNAME_X=82
COPY_PASSWORD_X=242
COPY_USED_AT_X=460

# The entry list starts 1980 twips (132 px) below the menu bar. Its body
# starts below the header, whose height follows the skin's padding, so that
# is measured on the live window (find_list_body_top). Rows are 13 px apart
# with the font the program uses. Clicks for a row go to its middle, in the
# username column.
LIST_TOP=150
LIST_BODY_TOP=""
LIST_ROW_HEIGHT=13
LIST_ROW_X=60
# A column of the list where neither the header's caption nor the short
# usernames of these tests reach: there the body is plain white down from its
# first pixel row while no row is selected.
LIST_PROBE_X=140

# Client y of the first pure white pixel below the list's top edge at
# LIST_PROBE_X in window $1; fails while the window is not painted yet.
list_body_top_now() {
    local top
    top=$(import -window "$1" png:- 2>/dev/null |
        convert png:- -crop "1x60+${LIST_PROBE_X}+${LIST_TOP}" +repage \
            -colorspace Gray -depth 8 gray:- 2>/dev/null |
        od -An -v -tu1 |
        awk -v top="$LIST_TOP" '{ for (i = 1; i <= NF; i++) { if ($i == 255) { print top + n; exit } n++ } }')
    [[ -n "$top" ]] || return 1
    LIST_BODY_TOP=$top
}

# Sets LIST_BODY_TOP for the main window $1. To be called after each start,
# before any row is selected (a selected row is not white).
find_list_body_top() {
    poll 50 0.1 list_body_top_now "$1" ||
        fail "found no white list body below the list's top edge at x=$LIST_PROBE_X"
    # A header between 14 and 40 px high: anything else means the probe
    # found something other than the list body.
    ((LIST_BODY_TOP >= LIST_TOP + 14 && LIST_BODY_TOP <= LIST_TOP + 40)) ||
        fail "the list body seems to start at y=$LIST_BODY_TOP, $((LIST_BODY_TOP - LIST_TOP)) px below the list's top edge"
}

click_list_row() {
    local win=$1 row=$2
    [[ -n "$LIST_BODY_TOP" ]] || fail "click_list_row before find_list_body_top"
    click_at "$win" "$LIST_ROW_X" $((LIST_BODY_TOP + (row - 1) * LIST_ROW_HEIGHT + LIST_ROW_HEIGHT / 2))
}

# ---------------------------------------------------------------------------
# The X clipboard. The program owns it after a copy; after a copy with
# nothing selected it has been cleared and has no owner, shown here as
# <empty clipboard>, which no entry field can be (a field holds no '<' '>'
# pair in these tests).
NO_CLIPBOARD='<empty clipboard>'

clipboard_text() {
    local text
    # Bounded: a program that stopped answering must not hang the test.
    if text=$(timeout 5 xclip -o -selection clipboard 2>/dev/null); then
        printf '%s' "$text"
    else
        printf '%s' "$NO_CLIPBOARD"
    fi
}

clipboard_is() {
    [[ "$(clipboard_text)" == "$1" ]]
}

# Clicks the copy button at x=$2 in window $1 and waits until the clipboard
# holds $3. The value before the click must differ from $3, or a copy that
# never happened would pass: the callers read fields in an order in which
# neighbours differ.
copy_and_expect() {
    local win=$1 x=$2 want=$3 what=$4 before
    before=$(clipboard_text)
    [[ "$before" != "$want" ]] ||
        fail "cannot tell a copy of $what from the clipboard before it: both are [$want]"
    click_at "$win" "$x" "$COPY_BUTTONS_Y"
    poll 50 0.1 clipboard_is "$want" ||
        fail "after Copy for $what the clipboard holds [$(clipboard_text)], expected [$want]"
}

# Selects row $2 of the list with a click and checks, through the three copy
# buttons and the clipboard, that it holds username $3, password $4 and
# website/location $5.
expect_list_row() {
    local win=$1 row=$2
    click_list_row "$win" "$row"
    copy_and_expect "$win" "$COPY_USERNAME_X" "$3" "the username of row $row"
    copy_and_expect "$win" "$COPY_PASSWORD_X" "$4" "the password of row $row"
    copy_and_expect "$win" "$COPY_USED_AT_X" "$5" "the website/location of row $row"
    log "ok: row $row is [$3] [$4] [$5]"
}

# Checks that the list has no row $2: a click there selects nothing, so Copy
# Username leaves the clipboard cleared.
expect_no_list_row() {
    local win=$1 row=$2
    click_list_row "$win" "$row"
    copy_and_expect "$win" "$COPY_USERNAME_X" "$NO_CLIPBOARD" "a row $row that should not exist"
    log "ok: there is no row $row"
}

# The running program must not be able to leave a core dump of its memory.
expect_no_core_dumps() {
    local limits="/proc/$APP_PID/limits"
    [[ -r "$limits" ]] || fail "cannot read $limits"
    grep -Eq '^Max core file size +0 +0 ' "$limits" ||
        fail "the program allows core dumps: $(grep '^Max core' "$limits")"
}

# No secret ($1..) may be found, plain or ciphered, in any file of the work
# folder other than the vault itself: not in settings, logs or caches.
# The vault's own form of a secret may also be in the states of the vault
# this computer saw (kept in the data folder, as private as the vault); its
# clear text may be nowhere.
expect_secrets_only_in_vault() {
    local secret pattern hex found seen="$XDG_DATA_HOME/Keynook/seen/"
    pattern="$WORK/secret.pattern"
    for secret in "$@"; do
        write_hex "$(printf '%s' "$secret" | od -An -v -tx1 | tr -d ' \n')" "$pattern"
        found=$(LC_ALL=C grep -r -a -l -F -f "$pattern" "$WORK" 2>/dev/null |
            grep -v -x -F -e "$VAULT" -e "$pattern" || true)
        [[ -z "$found" ]] || fail "a secret was written outside the vault: $found"
        write_hex "$(cipher_hex "$secret")" "$pattern"
        found=$(LC_ALL=C grep -r -a -l -F -f "$pattern" "$WORK" 2>/dev/null |
            grep -v -x -F -e "$VAULT" -e "$pattern" | grep -v -F "$seen" || true)
        [[ -z "$found" ]] || fail "a secret was written outside the vault: $found"
    done
    rm -f "$pattern"
}

#!/usr/bin/env bash
# End-to-end run of the real program on a private X server, driven from
# outside as a person would drive it:
#   1. first start: create the master password, check the vault bytes, exit
#      through File > Exit;
#   2. second start: unlock with that password, keep a screenshot, exit;
#   3. third start on a vault with two entries: a wrong password first
#      (Incorrect Password box, Retry), then the right one; the list must show
#      the two rows and the vault must not change.
# The list is read from a capture of the main window (lines of text per
# column): the program offers no other way to see it from outside.
#
# Usage: first_use_and_unlock.sh <path to built keynook> [screenshot folder]
#
# Nothing outside its own temporary folder is read or written, apart from the
# screenshots, which go to the folder given as the second argument.

set -u

KEYNOOK_BUILT=${1:?usage: $0 <keynook executable> [screenshot folder]}
SHOT_DIR=${2:-}

MAIN_TITLE='^Keynook by Quietlatch Labs$'
PASS_TITLE='^Password Required$'
WRONG_TITLE='^Incorrect Password$'
# Letters, digits and a space: the space is the character most likely to be
# lost or mangled by typing or by the cipher.
PASSWORD='Blue fox 42'
WRONG_PASSWORD='blue fox 42'

STARTED_AT=$SECONDS
STEP="setup"

log() { printf '[e2e] %s\n' "$*"; }

fail() {
    printf '[e2e] FAIL (%s): %s\n' "$STEP" "$*" >&2
    if [[ -n "${DISPLAY:-}" && -n "${SHOT_DIR}" ]] && command -v import >/dev/null; then
        # The screen at the moment of failure is usually the quickest way to
        # see what went wrong.
        import -window root "${SHOT_DIR}/e2e-failure.png" 2>/dev/null &&
            printf '[e2e] screen at failure: %s\n' "${SHOT_DIR}/e2e-failure.png" >&2
    fi
    if [[ -n "${APP_LOG:-}" && -s "${APP_LOG}" ]]; then
        printf '[e2e] program output:\n' >&2
        sed 's/^/    /' "${APP_LOG}" >&2
    fi
    exit 1
}

for tool in Xvfb xdotool import convert od timeout tail; do
    if ! command -v "$tool" >/dev/null; then
        # 77 is registered as the skip code: a machine without the X tools
        # cannot run this test, which is not a failure of the program.
        # In CI the install script must have brought it: a skip there would
        # hide a missing install step.
        if [[ -n "${CI:-}" ]]; then
            printf '[e2e] FAIL: %s is not installed\n' "$tool" >&2
            exit 1
        fi
        printf '[e2e] SKIP: %s is not installed\n' "$tool" >&2
        exit 77
    fi
done
[[ -x "$KEYNOOK_BUILT" ]] || fail "no executable at $KEYNOOK_BUILT"
if [[ -n "$SHOT_DIR" ]]; then
    mkdir -p "$SHOT_DIR" || fail "cannot create $SHOT_DIR"
    # A failure picture left by an earlier run would mislead whoever looks.
    rm -f "$SHOT_DIR/e2e-failure.png"
fi

# ---------------------------------------------------------------------------
# Private folder, settings and X server.

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-e2e.XXXXXX") || fail "mktemp failed"
XVFB_PID=""
APP_PID=""

cleanup() {
    if [[ -n "$APP_PID" ]] && kill -0 "$APP_PID" 2>/dev/null; then
        kill "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    if [[ -n "$XVFB_PID" ]] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A portable folder: the program keeps data.enc beside itself when it can
# write there, so the vault of this run lives in the temporary folder only.
APP_DIR="$WORK/app"
mkdir -p "$APP_DIR" "$WORK/home" "$WORK/config" "$WORK/data" "$WORK/runtime" ||
    fail "cannot create folders in $WORK"
chmod 0700 "$WORK/runtime"
cp "$KEYNOOK_BUILT" "$APP_DIR/keynook" || fail "cannot copy the executable"
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

# Xvfb picks a free display itself and writes its number to the file once it
# accepts connections, so parallel tests never collide on a display number.
DISPLAY_FILE="$WORK/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 \
    3>"$DISPLAY_FILE" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!

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

display_ready() {
    kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb exited: $(cat "$WORK/xvfb.log")"
    grep -q '^[0-9][0-9]*$' "$DISPLAY_FILE" 2>/dev/null
}
poll 100 0.1 display_ready || fail "Xvfb did not report a display within 10 s"
DISPLAY=":$(head -n1 "$DISPLAY_FILE")"
export DISPLAY
log "Xvfb on display $DISPLAY, work folder $WORK"

# ---------------------------------------------------------------------------
# Helpers for the vault bytes.

# Hex of the bytes of $1 with the top bit of each toggled, as the vault
# stores every line's text.
cipher_hex() {
    local b out=""
    for b in $(printf '%s' "$1" | od -An -v -tu1); do
        out+=$(printf '%02x' $((b ^ 0x80)))
    done
    printf '%s' "$out"
}

# Hex of a whole file, no separators.
file_hex() {
    od -An -v -tx1 "$1" | tr -d ' \n'
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

CRLF=0d0a

# ---------------------------------------------------------------------------
# Helpers for the windows.

start_program() {
    : >"$APP_LOG"
    # Started from inside its folder so nothing relative lands elsewhere.
    (cd "$APP_DIR" && exec "$KEYNOOK") >"$APP_LOG" 2>&1 &
    APP_PID=$!
    log "started keynook (pid $APP_PID)"
}

# Prints the id of the first visible window whose title matches $1, waiting
# up to $2 seconds for it.
wait_window() {
    local title=$1 secs=$2 ids
    ids=$(timeout "$secs" xdotool search --sync --onlyvisible --name "$title" 2>/dev/null)
    [[ -n "$ids" ]] || return 1
    printf '%s\n' "$ids" | head -n1
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

# The body of the entry list, in main window client coordinates: the list
# starts 1980 twips (132 px at 96 dpi) below the menu bar, its header takes
# the first 18 px, and its horizontal scroll bar the last 14 px. Columns:
# username from x=6, password from x=162, website/location from x=322.
LIST_BODY_TOP=168
LIST_BODY_HEIGHT=220
COLUMN_USERNAME_X=6
COLUMN_PASSWORD_X=162
COLUMN_WEBSITE_X=322
COLUMN_WIDTH=140

# Counts the lines of text in one column of the entry list of window $1,
# the column starting at client x=$2: each pixel row of the column is
# averaged, and runs of rows darker than the white background are lines of
# text. Rows are 13 px apart and the glyphs about 8 px high, so neighbouring
# rows stay apart. A window not painted yet reads as one dark block.
text_lines_in_column() {
    local win=$1 x=$2
    import -window "$win" png:- 2>/dev/null |
        convert png:- -crop "${COLUMN_WIDTH}x${LIST_BODY_HEIGHT}+${x}+${LIST_BODY_TOP}" +repage \
            -colorspace Gray -scale "1x${LIST_BODY_HEIGHT}!" -depth 8 gray:- 2>/dev/null |
        od -An -v -tu1 |
        awk '{ for (i = 1; i <= NF; i++) { dark = ($i < 253); if (dark && !was) n++; was = dark } }
             END { print n + 0 }'
}

# True when the username, password and website/location columns hold $2, $3
# and $4 lines of text.
list_shows_lines() {
    local win=$1
    [[ "$(text_lines_in_column "$win" "$COLUMN_USERNAME_X")" == "$2" ]] &&
        [[ "$(text_lines_in_column "$win" "$COLUMN_PASSWORD_X")" == "$3" ]] &&
        [[ "$(text_lines_in_column "$win" "$COLUMN_WEBSITE_X")" == "$4" ]]
}

# What the list shows now, for failure messages.
list_lines_description() {
    printf 'username %s, password %s, website/location %s lines' \
        "$(text_lines_in_column "$1" "$COLUMN_USERNAME_X")" \
        "$(text_lines_in_column "$1" "$COLUMN_PASSWORD_X")" \
        "$(text_lines_in_column "$1" "$COLUMN_WEBSITE_X")"
}

# ---------------------------------------------------------------------------
STEP="first start"

[[ ! -e "$VAULT" ]] || fail "a vault exists before the first start"
start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) ||
    fail "no visible 'Password Required' window within 20 s"
log "ok: 'Password Required' shown (window $PASS_WIN)"
# The program creates the never-used vault before it asks for anything.
expect_vault "$CRLF" "a never-used vault is CR LF only"

type_into "$PASS_WIN" "$PASSWORD"
xdotool key --clearmodifiers Tab || fail "pressing Tab failed"
type_into "$PASS_WIN" "$PASSWORD"
xdotool key --clearmodifiers Return || fail "pressing Return failed"

MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) ||
    fail "no visible main window within 20 s after creating the password"
log "ok: main window shown (window $MAIN_WIN)"
poll 50 0.1 no_visible_window "$PASS_TITLE" ||
    fail "'Password Required' still visible after the main window appeared"

MASTER_LINE="$(cipher_hex "$PASSWORD")$CRLF"
expect_vault "$MASTER_LINE" "the new vault holds only the ciphered password line"

exit_through_file_menu "$MAIN_WIN"
expect_vault "$MASTER_LINE" "File > Exit leaves the vault as it was"

# ---------------------------------------------------------------------------
STEP="second start"

start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) ||
    fail "no visible 'Password Required' window within 20 s"
log "ok: 'Password Required' shown (window $PASS_WIN)"
type_into "$PASS_WIN" "$PASSWORD"
xdotool key --clearmodifiers Return || fail "pressing Return failed"

MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) ||
    fail "no visible main window within 20 s after the right password"
log "ok: main window shown (window $MAIN_WIN)"
poll 50 0.1 no_visible_window "$PASS_TITLE" ||
    fail "'Password Required' still visible after the main window appeared"
expect_vault "$MASTER_LINE" "unlocking leaves the vault as it was"

poll 50 0.1 list_shows_lines "$MAIN_WIN" 0 0 0 ||
    fail "the entry list of a vault without entries is not blank: $(list_lines_description "$MAIN_WIN")"
log "ok: the entry list is empty"
if [[ -n "$SHOT_DIR" ]]; then
    import -window root "$SHOT_DIR/e2e-second-start.png" ||
        fail "screenshot failed"
    log "screenshot: $SHOT_DIR/e2e-second-start.png"
fi

exit_through_file_menu "$MAIN_WIN"
expect_vault "$MASTER_LINE" "File > Exit leaves the vault as it was"

# ---------------------------------------------------------------------------
STEP="third start, two entries"

ENTRIES_VAULT="$MASTER_LINE"
ENTRIES_VAULT+="$(cipher_hex 'user1|||pass1|||www.one.example')$CRLF"
ENTRIES_VAULT+="$(cipher_hex 'user2|||pass2|||')$CRLF"
ENTRIES_VAULT+="$CRLF"
write_hex "$ENTRIES_VAULT" "$VAULT" || fail "cannot write the vault"
expect_vault "$ENTRIES_VAULT" "the vault with two entries is written as intended"

start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) ||
    fail "no visible 'Password Required' window within 20 s"
log "ok: 'Password Required' shown (window $PASS_WIN)"

type_into "$PASS_WIN" "$WRONG_PASSWORD"
xdotool key --clearmodifiers Return || fail "pressing Return failed"
WRONG_WIN=$(wait_window "$WRONG_TITLE" 20) ||
    fail "no 'Incorrect Password' box within 20 s after a wrong password"
log "ok: 'Incorrect Password' shown (window $WRONG_WIN)"
no_visible_window "$MAIN_TITLE" || fail "the main window is visible after a wrong password"

# Retry is the box's default button.
xdotool windowfocus --sync "$WRONG_WIN" || fail "cannot focus the 'Incorrect Password' box"
xdotool key --clearmodifiers Return || fail "pressing Return failed"
poll 50 0.1 no_visible_window "$WRONG_TITLE" ||
    fail "'Incorrect Password' still visible after Return (Retry)"
program_running || fail "the program ended after Retry on the first wrong password"

# Retry empties the box, so only the right password is typed now.
type_into "$PASS_WIN" "$PASSWORD"
xdotool key --clearmodifiers Return || fail "pressing Return failed"
MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) ||
    fail "no visible main window within 20 s after the right password following a Retry"
log "ok: main window shown (window $MAIN_WIN)"
poll 50 0.1 no_visible_window "$PASS_TITLE" ||
    fail "'Password Required' still visible after the main window appeared"
expect_vault "$ENTRIES_VAULT" "unlocking a vault with entries leaves it as it was"

# Two rows; only the first entry has a website/location.
poll 50 0.1 list_shows_lines "$MAIN_WIN" 2 2 1 ||
    fail "the entry list does not show the two entries: $(list_lines_description "$MAIN_WIN")"
log "ok: the entry list shows two rows, one with a website/location"
if [[ -n "$SHOT_DIR" ]]; then
    import -window root "$SHOT_DIR/e2e-two-entries.png" || fail "screenshot failed"
    log "screenshot: $SHOT_DIR/e2e-two-entries.png"
fi

exit_through_file_menu "$MAIN_WIN"
expect_vault "$ENTRIES_VAULT" "File > Exit leaves the vault with entries as it was"

STEP="done"
log "PASS: first use, unlock, wrong password with Retry; three starts in $((SECONDS - STARTED_AT)) s"

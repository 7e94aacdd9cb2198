#!/usr/bin/env bash
# End-to-end run of the real program on a private X server and private
# buses, on a sealed vault, locking when its person is away:
#   1. the list is sorted, a row selected, its password copied and an entry
#      editor left open with text typed in it;
#   2. each of the signals that say the person left, sent with dbus-send
#      (the screen saver under its freedesktop and GNOME names on the
#      session bus, logind's PrepareForSleep on a second bus that the
#      program takes as its system bus), hides every window, clears the
#      copied password from the clipboard and brings up 'Password Required';
#   3. after the first, the program's memory (/proc/PID/mem) holds no
#      entry's password and no master password, as typed, in UTF-16 or in
#      the plain form's cipher, while the editor's text, kept for after the
#      unlock, is found: the probe reads what is there;
#   4. the right password brings back the list in its order, the selection
#      and the editor with its text, whose Save seals it into the vault;
#   5. with the minutes set small in the settings, the window locks by
#      itself once no input came for that long;
#   6. three wrong passwords end the program, the vault file unchanged.
#
# Usage: away_lock.sh <path to built keynook> <screenshot folder> <keynook_e2e_seal>

set -u

E2E_NAME=away-lock
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
SEAL_TOOL=${3:-}
e2e_setup "${1:-}" "${2:-}"
[[ -x "$SEAL_TOOL" ]] || fail "no sealing tool at [$SEAL_TOOL]"
require_tools dbus-daemon dbus-send iconv dd

EDITOR_TITLE='^Add an entry$'
INCORRECT_TITLE='^Incorrect Password$'
SETTINGS="$XDG_CONFIG_HOME/Keynook/Keynook.conf"

PASSWORD='away master 31'
ENTRIES=('zed|||zed pass 1|||z.example' 'amy|||amy pass 2|||' 'mo|||mo pass 3|||m.example')
TYPED_USER='typed away user'
TYPED_PASS='typed away pw'
SECRETS=("$PASSWORD" 'zed pass 1' 'amy pass 2' 'mo pass 3')

# ---------------------------------------------------------------------------
# Two private buses: the session's, and one the program takes for the
# system's (DBUS_SYSTEM_BUS_ADDRESS), where logind would speak.
BUS_PIDS=()
stop_buses() {
    local pid
    for pid in "${BUS_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
}
E2E_AT_EXIT+=(stop_buses)

# Starts bus $1 (not in a subshell: its process must be known here, to be
# stopped at exit) and leaves its address in BUS_ADDRESS.
start_bus() {
    local file="$WORK/$1-bus"
    dbus-daemon --session --nofork --nopidfile --print-address=3 \
        3>"$file" >"$WORK/$1-bus.log" 2>&1 &
    BUS_PIDS+=($!)
    poll 100 0.1 test -s "$file" || fail "the $1 bus did not start: $(cat "$WORK/$1-bus.log")"
    BUS_ADDRESS=$(head -n1 "$file")
}

STEP="buses"
start_bus session
export DBUS_SESSION_BUS_ADDRESS=$BUS_ADDRESS
start_bus system
export DBUS_SYSTEM_BUS_ADDRESS=$BUS_ADDRESS

# The three signals. The system bus is the private one (DBUS_SYSTEM_BUS_ADDRESS);
# dbus-send --address would send without registering, and the bus would not
# deliver it.
send_signal() {
    case $1 in
    freedesktop)
        dbus-send --session --type=signal /org/freedesktop/ScreenSaver \
            org.freedesktop.ScreenSaver.ActiveChanged boolean:true ;;
    gnome)
        dbus-send --session --type=signal /org/gnome/ScreenSaver \
            org.gnome.ScreenSaver.ActiveChanged boolean:true ;;
    sleep)
        dbus-send --system --type=signal /org/freedesktop/login1 \
            org.freedesktop.login1.Manager.PrepareForSleep boolean:true ;;
    esac || fail "dbus-send of the $1 signal failed"
}

# ---------------------------------------------------------------------------
# The program's memory.

# The forms a text may take in memory, each as hex on a line of its own: as
# typed (UTF-8), in UTF-16 as Qt holds text, and in the plain form's cipher.
forms_hex() {
    printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'
    printf '\n'
    printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'
    printf '\n%s\n' "$(cipher_hex "$1")"
}

# The forms of text $1 found in memory dump $2, by name.
forms_in() {
    local hex names=(UTF-8 UTF-16LE ciphered) i=0 found=()
    while read -r hex; do
        LC_ALL=C grep -q -a -F -f <(write_hex "$hex" /dev/stdout) "$2" && found+=("${names[i]}")
        i=$((i + 1))
    done < <(forms_hex "$1")
    printf '%s' "${found[*]}"
}

# ---------------------------------------------------------------------------
STEP="vault"
hex="$(vault_line_hex "$PASSWORD")"
for e in "${ENTRIES[@]}"; do hex+=$(vault_line_hex "$e"); done
write_hex "$hex$CRLF" "$VAULT" || fail "cannot write the vault"
printf '%s\n' "$PASSWORD" | "$SEAL_TOOL" seal "$VAULT" || fail "sealing the vault failed"
mkdir -p "$(dirname "$SETTINGS")"
printf '[Settings]\nshowHelp=0\n' >"$SETTINGS"

STEP="unlocking"
start_and_unlock "$PASSWORD"
expect_no_core_dumps

STEP="state before"
# A click on the Username header sorts it, descending first: zed, mo, amy.
click_at "$MAIN_WIN" "$LIST_ROW_X" $((LIST_TOP + (LIST_BODY_TOP - LIST_TOP) / 2))
expect_list_row "$MAIN_WIN" 1 zed 'zed pass 1' z.example
expect_list_row "$MAIN_WIN" 2 mo 'mo pass 3' m.example
# Row 2 stays selected, its password last on the clipboard.
copy_and_expect "$MAIN_WIN" "$COPY_PASSWORD_X" 'mo pass 3' "the password of row 2"
click_at "$MAIN_WIN" "$ADD_BUTTON_X" "$ADD_BUTTON_Y"
EDIT_WIN=$(wait_window "$EDITOR_TITLE" 20) || fail "no 'Add an entry' window after a click on Add"
xdotool windowfocus --sync "$EDIT_WIN" || fail "cannot focus 'Add an entry'"
press_keys Tab Tab
type_into "$EDIT_WIN" "$TYPED_USER"
press_keys Tab
type_into "$EDIT_WIN" "$TYPED_PASS"
SAVED_BEFORE=$(file_hex "$VAULT")

STEP="memory while open"
# What the probe must find while the vault is open, or it could not tell a
# locked program from one it cannot read: every password in some form (the
# list holds each in the cipher), the master password as Qt's text too.
if [[ ! -r "/proc/$APP_PID/mem" ]] || ! dd if="/proc/$APP_PID/mem" bs=1 count=0 2>/dev/null; then
    log "SKIP: the program's memory cannot be read here (it is not dumpable: root alone reads it)"
    exit 77
fi
DUMP="$WORK/memory"
dump_memory "$APP_PID" "$DUMP"
for secret in "${SECRETS[@]}"; do
    [[ -n "$(forms_in "$secret" "$DUMP")" ]] || fail "the probe does not find [$secret] in the open program"
done
[[ "$(forms_in "$PASSWORD" "$DUMP")" == *UTF-16LE* ]] ||
    fail "the probe does not find the master password as text in the open program"
log "ok: while open, the probe finds every password in $(stat -c %s "$DUMP") bytes of memory"

locked() {
    ! no_visible_window "$PASS_TITLE" && no_visible_window "$MAIN_TITLE" &&
        no_visible_window "$EDITOR_TITLE"
}

# Waits for the lock; $1 says what brought it.
expect_locked() {
    local deadline=$2
    poll $((deadline * 10)) 0.1 locked ||
        fail "$1: not locked within $deadline s (password dialog, main window, editor: $(
            wait_window "$PASS_TITLE" 0 >/dev/null && echo shown || echo none
        ) $(no_visible_window "$MAIN_TITLE" && echo hidden || echo shown) $(
            no_visible_window "$EDITOR_TITLE" && echo hidden || echo shown))"
    program_running || fail "$1: the program ended"
    log "ok: $1 locked the window"
}

unlock() {
    local win
    win=$(wait_window "$PASS_TITLE" 5) || fail "no 'Password Required' to unlock"
    xdotool windowraise "$win"
    type_into "$win" "$1"
    press_keys Return
}

for signal in freedesktop gnome sleep; do
    STEP="locked by $signal"
    send_signal "$signal"
    expect_locked "the $signal signal" 20
    [[ "$(clipboard_text)" == "$NO_CLIPBOARD" ]] ||
        fail "the copied password is still on the clipboard: [$(clipboard_text)]"
    [[ "$(file_hex "$VAULT")" == "$SAVED_BEFORE" ]] || fail "locking changed data.enc"

    if [[ $signal == freedesktop ]]; then
        STEP="memory while locked"
        screenshot e2e-away-locked.png
        dump_memory "$APP_PID" "$DUMP"
        # The editor keeps what was typed, hidden, for after the unlock.
        [[ "$(forms_in "$TYPED_USER" "$DUMP")" == *UTF-16LE* ]] ||
            fail "the probe did not find the editor's text in $(stat -c %s "$DUMP") bytes of memory"
        for secret in "${SECRETS[@]}"; do
            found=$(forms_in "$secret" "$DUMP")
            [[ -z "$found" ]] || fail "the locked program's memory holds [$secret] as $found"
        done
        log "ok: in $(stat -c %s "$DUMP") bytes of memory, no password in any form; the editor's text is there"
        rm -f "$DUMP"
    fi

    # The settings are read again at each unlock: small minutes for the end.
    [[ $signal == sleep ]] && printf '[Settings]\nshowHelp=0\nlockMinutes=0.2\n' >"$SETTINGS"

    STEP="unlocked after $signal"
    unlock "$PASSWORD"
    MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) || fail "no main window after the right password"
    EDIT_WIN=$(wait_window "$EDITOR_TITLE" 5) || fail "the editor did not come back"
    poll 50 0.1 no_visible_window "$PASS_TITLE" || fail "'Password Required' still shown"
    log "ok: the right password brings back the main window and the editor"
done

STEP="as it was"
# The selection first: Copy Password copies the row still selected.
xdotool windowraise "$MAIN_WIN"
copy_and_expect "$MAIN_WIN" "$COPY_PASSWORD_X" 'mo pass 3' "the password of the selected row"
expect_list_row "$MAIN_WIN" 1 zed 'zed pass 1' z.example
expect_list_row "$MAIN_WIN" 3 amy 'amy pass 2' ''
# The editor's text: Enter in its website box saves it, sealed.
xdotool windowraise "$EDIT_WIN"
xdotool windowfocus --sync "$EDIT_WIN" || fail "cannot focus 'Add an entry'"
press_keys Tab Return
poll 50 0.1 no_visible_window "$EDITOR_TITLE" || fail "the editor did not save and close"
opened=$(printf '%s\n' "$PASSWORD" | "$SEAL_TOOL" open "$VAULT" | od -An -v -tx1 | tr -d ' \n')
[[ "$opened" == *"$(entry_line_hex "$TYPED_USER" "$TYPED_PASS" '')"* ]] ||
    fail "the vault does not hold the editor's entry after its Save: [$opened]"
log "ok: the list in its order, the selection and the editor's text came back; its Save sealed it"
SAVED=$(file_hex "$VAULT")

STEP="idle"
# No input from here: twelve seconds later the window locks by itself.
expect_locked "twelve seconds without input" 60

STEP="three wrong passwords"
for try in 1 2 3; do
    unlock "not the password $try"
    box=$(wait_window "$INCORRECT_TITLE" 20) || fail "no 'Incorrect Password' after wrong try $try"
    xdotool windowfocus --sync "$box" || fail "cannot focus 'Incorrect Password'"
    press_keys Return # Retry
    poll 50 0.1 no_visible_window "$INCORRECT_TITLE" || fail "'Incorrect Password' still shown"
done
box=$(wait_window '^Keynook$' 20) || fail "no 'Only 3 tries' box after the third wrong password"
program_running || fail "the program ended before the three-tries box was answered"
xdotool windowfocus --sync "$box" || fail "cannot focus the three-tries box"
press_keys Return
timeout 20 tail --pid="$APP_PID" -f /dev/null || fail "the program did not end after three wrong passwords"
APP_PID=""
[[ "$(file_hex "$VAULT")" == "$SAVED" ]] || fail "data.enc changed after three wrong passwords"
log "ok: three wrong passwords ended the program, data.enc as it was"

STEP="done"
log "PASS: locked by each signal and by idleness, nothing of the vault in memory, back as it was, in $((SECONDS - STARTED_AT)) s"

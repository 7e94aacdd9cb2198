#!/usr/bin/env bash
# End-to-end run of the real program on a private X server: adding an entry
# through the entry editor, as a person would, and finding it again after a
# restart.
#   1. start on a vault with two entries and unlock it;
#   2. Add, type the three fields into 'Add an entry' (Return in the username
#      and password boxes must not save), Return in the website box: the
#      editor closes and data.enc is rewritten at once with the new entry
#      after the old ones; the new row is in the list;
#   3. File > Exit, start again and unlock: the list holds the two old rows
#      and the new one, in that order, and nothing else; data.enc is
#      untouched by the restart, and by keynook-cli reaching it through
#      links while the window holds it.
# The list is read through the program's copy buttons and the X clipboard:
# select a row with a click, copy each field, compare.
#
# Usage: add_entry_and_reopen.sh <path to built keynook> [screenshot folder]

set -u

E2E_NAME=add-entry
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
e2e_setup "$@"

EDITOR_TITLE='^Add an entry$'
ERROR_TITLE='^Error$'

# Spaces and punctuation throughout: the characters most likely to be lost
# or mangled by typing, by the cipher or by the line format. No vertical bar,
# which the line format uses between fields.
PASSWORD='Sea salt, 7 & up!'
OLD_1=('user1' 'pass1' 'www.one.example')
OLD_2=('user2' 'pass2' '')
NEW=("Ann O'Neil, jr." 'tr0ub4dor & 3: no?' 'https://mail.example.org/in?a=1;b=2')

MASTER_LINE=$(vault_line_hex "$PASSWORD")
OLD_VAULT="$MASTER_LINE$(entry_line_hex "${OLD_1[@]}")$(entry_line_hex "${OLD_2[@]}")$CRLF"
NEW_VAULT="$MASTER_LINE$(entry_line_hex "${OLD_1[@]}")$(entry_line_hex "${OLD_2[@]}")"
NEW_VAULT+="$(entry_line_hex "${NEW[@]}")$CRLF"

# ---------------------------------------------------------------------------
STEP="first start, adding an entry"

write_hex "$OLD_VAULT" "$VAULT" || fail "cannot write the vault"
expect_vault "$OLD_VAULT" "the vault with two entries is written as intended"

start_and_unlock "$PASSWORD"
expect_vault "$OLD_VAULT" "unlocking leaves the vault as it was"

click_at "$MAIN_WIN" "$ADD_BUTTON_X" "$ADD_BUTTON_Y"
EDIT_WIN=$(wait_window "$EDITOR_TITLE" 20) ||
    fail "no visible 'Add an entry' window within 20 s of a click on Add"
log "ok: 'Add an entry' shown (window $EDIT_WIN)"

# The editor opens with the focus on Cancel; Save comes next, then the
# username, password and website boxes.
xdotool windowfocus --sync "$EDIT_WIN" || fail "cannot focus 'Add an entry'"
press_keys Tab Tab
type_into "$EDIT_WIN" "${NEW[0]}"
# Only Return in the website box saves. Here, with no password yet, a save
# would bring up 'You must enter a password' and the rest of the typing
# would not reach the editor.
press_keys Return Tab
type_into "$EDIT_WIN" "${NEW[1]}"
press_keys Return Tab
type_into "$EDIT_WIN" "${NEW[2]}"
no_visible_window "$ERROR_TITLE" ||
    fail "an 'Error' box is shown: Return in the username or password box tried to save"
no_visible_window "$EDITOR_TITLE" &&
    fail "'Add an entry' closed before Return in the website box"
screenshot e2e-add-entry-editor.png

press_keys Return
poll 50 0.1 no_visible_window "$EDITOR_TITLE" ||
    fail "'Add an entry' still visible 5 s after Return in the website box"
log "ok: Return in the website box closed the editor"
no_visible_window "$ERROR_TITLE" || fail "an 'Error' box is shown after Return in the website box"
program_running || fail "the program ended while saving the new entry"
# The editor closes only after the save, so the file is complete by now.
expect_vault "$NEW_VAULT" "the vault holds the old entries in order, then the new one"
screenshot e2e-add-entry-saved.png

# The new row is at the end of the unsorted list.
expect_list_row "$MAIN_WIN" 3 "${NEW[@]}"

exit_through_file_menu "$MAIN_WIN"
expect_vault "$NEW_VAULT" "File > Exit leaves the vault as it was"

# ---------------------------------------------------------------------------
STEP="second start, finding the entry"

start_and_unlock "$PASSWORD"
expect_vault "$NEW_VAULT" "unlocking leaves the vault as it was"
expect_no_core_dumps

# The window holds its vault: keynook-cli reaching the same file through a
# link to it, or through a link to its folder, is turned away, told which
# program holds it, and writes nothing.
CLI="$(dirname "$1")/keynook-cli"
ln -s "$VAULT" "$WORK/link.enc" && ln -s "$APP_DIR" "$WORK/linked-app" ||
    fail "cannot make the links"
for name in "$WORK/link.enc" "$WORK/linked-app/data.enc"; do
    out=$(printf '%s\n%s\n' "$PASSWORD" pw |
        "$CLI" --vault "$name" --password-stdin add --username intruder 2>&1)
    rc=$?
    [[ $rc -eq 2 ]] ||
        fail "keynook-cli through $name ended with $rc while the window held the vault: $out"
    [[ $out == *"keynook, process $APP_PID"* ]] ||
        fail "keynook-cli through $name did not name the window that holds the vault: $out"
done
expect_vault "$NEW_VAULT" "keynook-cli through either link wrote nothing"

# Row 4 before row 3, so the new entry is left selected for the screenshot.
# Neighbouring copies differ, as copy_and_expect needs.
expect_list_row "$MAIN_WIN" 1 "${OLD_1[@]}"
expect_list_row "$MAIN_WIN" 2 "${OLD_2[@]}"
expect_no_list_row "$MAIN_WIN" 4
expect_list_row "$MAIN_WIN" 3 "${NEW[@]}"
if [[ -n "$SHOT_DIR" ]]; then
    import -window "$MAIN_WIN" "$SHOT_DIR/e2e-add-entry-reopened.png" ||
        fail "screenshot of the main window failed"
    log "screenshot: $SHOT_DIR/e2e-add-entry-reopened.png"
fi

exit_through_file_menu "$MAIN_WIN"
expect_vault "$NEW_VAULT" "File > Exit leaves the vault as it was"

STEP="secrets"
expect_secrets_only_in_vault "$PASSWORD" "${NEW[1]}" "${OLD_1[1]}"

STEP="done"
log "PASS: an entry added through the editor is saved and found after a restart, in $((SECONDS - STARTED_AT)) s"

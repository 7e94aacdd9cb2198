#!/usr/bin/env bash
# End-to-end run of the real program on a private X server, on a sealed vault:
#   1. a plain vault with two entries is sealed (by the test's own tool, with
#      a cheap key derivation) and leaves no readable copy behind;
#   2. the program asks for the password: a wrong one brings up 'Incorrect
#      Password', Retry (Return) leaves the focus in the password box, the
#      right one typed there opens the list;
#   3. an entry is added through the editor: data.enc is sealed again under a
#      fresh nonce and opens to the plain bytes of the three entries; File >
#      Exit leaves it as it is;
#   4. no file of the run (the vault, the lock, the settings, the program's
#      log, anything under its HOME, XDG and temporary folders and the program
#      folder) holds the master password or an entry's password: neither as
#      typed, nor as the plain form's cipher, nor in UTF-16.
#
# Usage: sealed_vault.sh <path to built keynook> <screenshot folder> <keynook_e2e_seal>

set -u

E2E_NAME=sealed-vault
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
SEAL_TOOL=${3:-}
e2e_setup "${1:-}" "${2:-}"
[[ -x "$SEAL_TOOL" ]] || fail "no sealing tool at [$SEAL_TOOL]"
require_tools iconv find

# Every place the program may write to is inside the work folder: its own
# folder, HOME and the XDG folders (e2e_setup), and the temporary folder.
export TMPDIR="$WORK/tmp"
mkdir -p "$TMPDIR" || fail "cannot create $TMPDIR"

INCORRECT_TITLE='^Incorrect Password$'
EDITOR_TITLE='^Add an entry$'
ERROR_TITLE='^Error$'
SEALED_MAGIC=804b4e5345414c0d00
# Offset 75, 24 bytes: the nonce, drawn afresh at every save.
NONCE_AT=75
NONCE_SIZE=24

PASSWORD='Sealed & sound, 9 lives!'
WRONG='not the one'
OLD_1=('user1' 'Old pass #1' 'www.one.example')
OLD_2=('user2' 'old-pass-2' '')
NEW=('Ann Other' 'fresh: pw & 42?' 'https://mail.example.org/in?a=1')

MASTER_LINE=$(vault_line_hex "$PASSWORD")
OLD_VAULT="$MASTER_LINE$(entry_line_hex "${OLD_1[@]}")$(entry_line_hex "${OLD_2[@]}")$CRLF"
NEW_VAULT="$MASTER_LINE$(entry_line_hex "${OLD_1[@]}")$(entry_line_hex "${OLD_2[@]}")"
NEW_VAULT+="$(entry_line_hex "${NEW[@]}")$CRLF"
SECRETS=("$PASSWORD" "${OLD_1[1]}" "${OLD_2[1]}" "${NEW[1]}")

# The plain bytes of the sealed vault, as hex; fails when it does not open.
opened_hex() {
    local hex
    hex=$(printf '%s\n' "$PASSWORD" | "$SEAL_TOOL" open "$VAULT" | od -An -v -tx1 | tr -d ' \n'
        exit "${PIPESTATUS[1]}") || return 1
    printf '%s' "$hex"
}

expect_sealed_vault() {
    local want=$1 what=$2 got
    [[ "$(file_hex "$VAULT")" == "$SEALED_MAGIC"* ]] ||
        fail "$what: data.enc does not start with the sealed header: [$(file_hex "$VAULT" | head -c 64)...]"
    got=$(opened_hex) || fail "$what: data.enc does not open with the master password"
    [[ "$got" == "$want" ]] || fail "$what: data.enc opens to [$got], expected [$want]"
    log "ok: $what"
}

nonce_hex() {
    file_hex "$VAULT" | cut -c $((NONCE_AT * 2 + 1))-$(((NONCE_AT + NONCE_SIZE) * 2))
}

# The forms a secret could take in a file, each as hex: as typed (UTF-8), in
# the plain form's cipher, and in UTF-16 as Qt holds text.
secret_forms_hex() {
    printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'
    printf '\n%s\n' "$(cipher_hex "$1")"
    printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'
    printf '\n'
}

# Prints every file under the work folder that holds secret $1 in any form.
# The patterns go to grep through a pipe, never through a file.
files_holding() {
    local hex
    while read -r hex; do
        LC_ALL=C grep -r -a -l -F -f <(write_hex "$hex" /dev/stdout) "$WORK" 2>/dev/null
    done < <(secret_forms_hex "$1") | sort -u
}

expect_no_secret_in_any_file() {
    local what=$1 secret found
    for secret in "${SECRETS[@]}"; do
        found=$(files_holding "$secret")
        [[ -z "$found" ]] || fail "$what: a password is in $(tr '\n' ' ' <<<"$found")"
    done
    log "ok: $what: no password in any of $(find "$WORK" -type f | wc -l) files under the work folder"
}

# ---------------------------------------------------------------------------
STEP="sealing"

write_hex "$OLD_VAULT" "$VAULT" || fail "cannot write the vault"
expect_vault "$OLD_VAULT" "the plain vault with two entries is written as intended"
# The scan must find what is there: the plain vault holds its passwords in
# the cipher.
for secret in "$PASSWORD" "${OLD_1[1]}" "${OLD_2[1]}"; do
    [[ "$(files_holding "$secret")" == "$VAULT" ]] ||
        fail "the scan does not find a password in the plain vault: [$(files_holding "$secret")]"
done
log "ok: the scan finds each password in the plain vault"

printf '%s\n' "$PASSWORD" | "$SEAL_TOOL" seal "$VAULT" || fail "sealing the vault failed"
expect_sealed_vault "$OLD_VAULT" "the sealed vault holds the plain vault's bytes"
expect_no_secret_in_any_file "after sealing"
SEALED_FIRST=$(file_hex "$VAULT")
NONCE_FIRST=$(nonce_hex)

# ---------------------------------------------------------------------------
STEP="unlocking"

start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) || fail "no visible 'Password Required' window within 20 s"
log "ok: 'Password Required' shown (window $PASS_WIN)"
type_into "$PASS_WIN" "$WRONG"
press_keys Return
BOX_WIN=$(wait_window "$INCORRECT_TITLE" 20) ||
    fail "no 'Incorrect Password' box within 20 s of a wrong password"
log "ok: a wrong password brings up 'Incorrect Password'"
screenshot e2e-sealed-wrong-password.png
# Retry is the box's default button.
xdotool windowfocus --sync "$BOX_WIN" || fail "cannot focus 'Incorrect Password'"
press_keys Return
poll 50 0.1 no_visible_window "$INCORRECT_TITLE" || fail "'Incorrect Password' still shown after Return"
program_running || fail "the program ended after Retry"
[[ "$(file_hex "$VAULT")" == "$SEALED_FIRST" ]] || fail "a wrong password changed data.enc"

# Typed straight into the dialog: the password box must have the focus again.
type_into "$PASS_WIN" "$PASSWORD"
press_keys Return
MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) ||
    fail "no visible main window within 20 s after the right password typed after Retry"
log "ok: the right password, typed after Retry, opens the main window (window $MAIN_WIN)"
poll 50 0.1 no_visible_window "$PASS_TITLE" ||
    fail "'Password Required' still visible after the main window appeared"
find_list_body_top "$MAIN_WIN"
[[ "$(file_hex "$VAULT")" == "$SEALED_FIRST" ]] || fail "unlocking changed data.enc"

# ---------------------------------------------------------------------------
STEP="adding an entry"

click_at "$MAIN_WIN" "$ADD_BUTTON_X" "$ADD_BUTTON_Y"
EDIT_WIN=$(wait_window "$EDITOR_TITLE" 20) ||
    fail "no visible 'Add an entry' window within 20 s of a click on Add"
# The editor opens with the focus on Cancel; Save comes next, then the
# username, password and website boxes.
xdotool windowfocus --sync "$EDIT_WIN" || fail "cannot focus 'Add an entry'"
press_keys Tab Tab
type_into "$EDIT_WIN" "${NEW[0]}"
press_keys Tab
type_into "$EDIT_WIN" "${NEW[1]}"
press_keys Tab
type_into "$EDIT_WIN" "${NEW[2]}"
press_keys Return
poll 50 0.1 no_visible_window "$EDITOR_TITLE" ||
    fail "'Add an entry' still visible 5 s after Return in the website box"
no_visible_window "$ERROR_TITLE" || fail "an 'Error' box is shown after saving"
program_running || fail "the program ended while saving the new entry"
# The editor closes only after the save, so the file is complete by now.
expect_sealed_vault "$NEW_VAULT" "the saved vault is sealed and holds the old entries, then the new one"
[[ "$(nonce_hex)" != "$NONCE_FIRST" ]] || fail "the save sealed under the nonce of the first seal"
log "ok: the save drew a fresh nonce"
SEALED_SAVED=$(file_hex "$VAULT")
expect_list_row "$MAIN_WIN" 3 "${NEW[@]}"

# The files of the running program too: its lock is gone once it ends.
expect_no_secret_in_any_file "while the vault is open"

exit_through_file_menu "$MAIN_WIN"
[[ "$(file_hex "$VAULT")" == "$SEALED_SAVED" ]] || fail "File > Exit changed data.enc"
expect_sealed_vault "$NEW_VAULT" "after File > Exit the vault is still sealed with the three entries"

# ---------------------------------------------------------------------------
STEP="secrets"

leftovers=$(find "$APP_DIR" -name '*data.enc.new-*')
[[ -z "$leftovers" ]] || fail "a save left temporary files: $leftovers"
log "files the run left: $(cd "$WORK" && find . -type f ! -name keynook | sort | tr '\n' ' ')"
expect_no_secret_in_any_file "after the run"

STEP="done"
log "PASS: a sealed vault is unlocked after a wrong try, changed and left sealed, with no password in any file, in $((SECONDS - STARTED_AT)) s"

#!/usr/bin/env bash
# End-to-end run of the real program on a private X server, driven from
# outside as a person would drive it:
#   1. first start: create the master password, check the vault bytes, exit
#      through File > Exit;
#   2. second start: unlock with that password, keep a screenshot, exit;
#   3. third start on a vault with two entries: a wrong password first
#      (Incorrect Password box, Retry), then the right one; the list must show
#      the two rows and the vault must not change.
# A list with rows is read through the program's copy buttons and the X
# clipboard. An empty list cannot be read that way (a copy with nothing
# selected leaves the clipboard as empty as it already is), so its blankness
# is read from a capture of the main window.
#
# Usage: first_use_and_unlock.sh <path to built keynook> [screenshot folder]

set -u

E2E_NAME=first-use
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
e2e_setup "$@"

# Letters, digits and a space: the space is the character most likely to be
# lost or mangled by typing or by the cipher.
PASSWORD='Blue fox 42'
WRONG_PASSWORD='blue fox 42'
WRONG_TITLE='^Incorrect Password$'

# ---------------------------------------------------------------------------
# The part of the entry list's body looked at for text, in main window client
# coordinates: from LIST_BODY_TOP down, room for 15 rows and still above the
# horizontal scroll bar, and from the left edge of the first column to just
# inside the right edge of the list (the program narrows the list to the
# window on load).
LIST_BODY_LEFT=6
LIST_BODY_WIDTH=550
LIST_BODY_HEIGHT=200

# Prints the darkest grey (0 black to 255 white) in the list body of window
# $1. Any text there is far darker than the white background; a window not
# painted yet is black.
list_body_darkest() {
    import -window "$1" png:- 2>/dev/null |
        convert png:- \
            -crop "${LIST_BODY_WIDTH}x${LIST_BODY_HEIGHT}+${LIST_BODY_LEFT}+${LIST_BODY_TOP}" \
            +repage -colorspace Gray -depth 8 gray:- 2>/dev/null |
        od -An -v -tu1 |
        awk 'BEGIN { min = 0 } NR == 1 { min = 255 }
             { for (i = 1; i <= NF; i++) if ($i < min) min = $i }
             END { print min }'
}

list_body_blank() {
    (($(list_body_darkest "$1") >= 250))
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

start_and_unlock "$PASSWORD"
expect_vault "$MASTER_LINE" "unlocking leaves the vault as it was"

poll 50 0.1 list_body_blank "$MAIN_WIN" ||
    fail "the entry list of a vault without entries is not blank: its darkest grey is $(list_body_darkest "$MAIN_WIN") of 255"
log "ok: the entry list is empty"
screenshot e2e-second-start.png

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
find_list_body_top "$MAIN_WIN"

# Two rows in file order, and nothing after them. Neighbouring copies
# differ, as copy_and_expect needs.
expect_list_row "$MAIN_WIN" 1 'user1' 'pass1' 'www.one.example'
expect_list_row "$MAIN_WIN" 2 'user2' 'pass2' ''
expect_no_list_row "$MAIN_WIN" 3
screenshot e2e-two-entries.png

exit_through_file_menu "$MAIN_WIN"
expect_vault "$ENTRIES_VAULT" "File > Exit leaves the vault with entries as it was"

STEP="done"
log "PASS: first use, unlock, wrong password with Retry; three starts in $((SECONDS - STARTED_AT)) s"

#!/usr/bin/env bash
# The random run of syncthing_random.sh with the window on one side: two
# real Syncthing instances carry a sealed vault between a, where the window
# stays open on it from the first round to the last, and b, where
# keynook-cli changes it. Round after round the link is paused; the window
# adds entries through its editor and deletes them as a person does
# (a row selected, Delete, OK in 'Confirm Delete'), and keynook-cli adds and
# removes on b, all at random; then the link comes back. Syncthing carries
# one side's version or keeps both, one as a conflict copy, which the window
# merges by itself as the copy appears beside its vault, and which b's
# keynook-cli merges when it comes first (sometimes it is run as soon as
# something came, to give it the chance). After every round, and at the
# end, both computers' vaults and the window's list hold exactly the
# entries of a model of what was added and not removed: none lost, none
# back. Every change a round makes is logged as it is made, so that a
# failure shows the sequence that led to it; the random start repeats the run.
#
# What the window shows is read through its accessibility tree
# (e2e_a11y.sh); Syncthing scans only when asked, and every wait polls a
# real condition with a deadline.
#
# Usage: syncthing_random_window.sh <keynook> <keynook-cli> <keynook_e2e_seal> [screenshot folder]

set -u

E2E_NAME=syncthing-random-window
USAGE="usage: $0 <keynook> <keynook-cli> <keynook_e2e_seal> [screenshot folder]"
BUILT=${1:?$USAGE}
HERE=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=../e2e/e2e_common.sh
source "$HERE/../e2e/e2e_common.sh" || exit 1
# shellcheck source=../e2e/e2e_a11y.sh
source "$HERE/../e2e/e2e_a11y.sh" || exit 1
# shellcheck source=syncthing_common.sh
source "$HERE/syncthing_common.sh" || exit 1
ST_CLI=$(realpath "${2:?$USAGE}")
SEAL=$(realpath "${3:?$USAGE}")
e2e_setup "$BUILT" "${4:-}"
a11y_setup
st_beside_window
ST_PASSWORD='Five rounds, 2 sides'
st_seed

ROUNDS=5
MAIN_NAME='Keynook by Quietlatch Labs'
EDITOR_TITLE='^Add an entry$'
ERROR_TITLE='^Error$'
CONFIRM_NAME='Confirm Delete'
sync_fail() { fail "$* $(st_listing)"; }

# ---------------------------------------------------------------------------
# The window, read.

# The usernames the window's list shows, one a line, top to bottom.
window_rows() { a11y_list_rows "$A11Y_WINDOW" 1; }

# The same, sorted and each followed by a space, as st_users gives a vault's.
window_users() {
    local rows
    rows=$(window_rows) || return 1
    [[ -z $rows ]] || sort <<<"$rows" | tr '\n' ' '
}

# The usernames the vault in side $1's folder holds, sorted and each
# followed by a space, read from its bytes: a's keynook-cli is turned away
# while the window holds that vault. The plain form sets the top bit of
# every byte of a line, and the first line is the master password.
vault_users() {
    local plain
    plain=$(printf '%s\n' "$ST_PASSWORD" | "$SEAL" open "${ST_FOLDER[$1]}/data.enc") || return 1
    LC_ALL=C tr '\200-\377' '\000-\177' <<<"$plain" | tr -d '\r' | tail -n +2 | grep . |
        sed 's/|||.*//' | sort | tr '\n' ' '
    return 0
}

# What the window's status line says now.
status_now() { a11y_status_text "$A11Y_WINDOW"; }

# Whether a's vault holds what the window's list shows.
saved_as_shown() {
    SHOWN=$(window_users) && SAVED=$(vault_users a) && [[ $SAVED == "$SHOWN" ]]
}

# The text of the message box named $1 the program shows now.
box_text() {
    local top child name
    for top in $(a11y_children "$A11Y_ROOT"); do
        [[ $(a11y_name "$top") == "$1" ]] || continue
        for child in $(a11y_children "$top"); do
            [[ $(a11y_role "$child") == label ]] || continue
            name=$(a11y_name "$child") || continue
            [[ -n $name ]] && printf '%s' "$name" && return 0
        done
    done
    return 1
}

SHOWN=""
SAVED=""
window_holds() { # yes|no username
    SHOWN=$(window_rows) || return 1
    if [[ $1 == yes ]]; then grep -qxF -- "$2" <<<"$SHOWN"; else ! grep -qxF -- "$2" <<<"$SHOWN"; fi
}

# ---------------------------------------------------------------------------
# The window, changed as a person changes it.

# An entry through Add and the editor: username $2, password x, no website.
window_add() {
    local editor
    click_at "$MAIN_WIN" "$ADD_BUTTON_X" "$ADD_BUTTON_Y"
    editor=$(wait_window "$EDITOR_TITLE" 20) || fail "no 'Add an entry' within 20 s of a click on Add"
    # The editor opens with the focus on Cancel; Save comes next, then the
    # username, password and website boxes. Return in the website box saves.
    xdotool windowfocus --sync "$editor" || fail "cannot focus 'Add an entry'"
    press_keys Tab Tab
    type_into "$editor" "$2"
    press_keys Tab
    type_into "$editor" x
    press_keys Tab Return
    poll 50 0.1 no_visible_window "$EDITOR_TITLE" ||
        fail "'Add an entry' still open 5 s after Return in the website box"
    no_visible_window "$ERROR_TITLE" || fail "an 'Error' box came up when $2 was saved"
    within 10 window_holds yes "$2" || fail "the window's list lacks $2 just added: [$SHOWN]"
    [[ $(status_now) == "Added new entry.  Data saved." ]] ||
        fail "adding $2, the window says [$(status_now)]"
    saved_as_shown || fail "the window shows [$SHOWN] after adding $2, a's vault holds [$SAVED]"
    log "window adds $2"
}

# The row of username $2 selected (a click in the list, Home, then Down to
# it: the keyboard scrolls a long list as it goes), Delete, and OK once
# 'Confirm Delete' names that entry.
window_remove() {
    local name=$2 rows row=0 keys=(Home) box text
    rows=$(window_rows) || fail "cannot read the window's list"
    row=$(grep -nxF -- "$name" <<<"$rows" | cut -d: -f1)
    [[ -n $row ]] || fail "the window's list does not show $name to delete: [$rows]"
    for ((; row > 1; --row)); do keys+=(Down); done
    click_list_row "$MAIN_WIN" 1
    press_keys "${keys[@]}"
    click_at "$MAIN_WIN" "$DELETE_BUTTON_X" "$DELETE_BUTTON_Y"
    box=$(wait_window "^$CONFIRM_NAME\$" 20) || fail "no '$CONFIRM_NAME' within 20 s of a click on Delete"
    within 10 box_text "$CONFIRM_NAME" >/dev/null || fail "cannot read '$CONFIRM_NAME'"
    text=$(box_text "$CONFIRM_NAME")
    if [[ $text != *$'\nUsername: '"$name"$'\n'* ]]; then
        xdotool windowfocus --sync "$box" && press_keys Escape
        fail "the row selected for $name is another: '$CONFIRM_NAME' says [$text]"
    fi
    # OK is the box's default button.
    xdotool windowfocus --sync "$box" || fail "cannot focus '$CONFIRM_NAME'"
    press_keys Return
    poll 50 0.1 no_visible_window "^$CONFIRM_NAME\$" || fail "'$CONFIRM_NAME' still open after Return"
    within 10 window_holds no "$name" || fail "the window's list still shows $name after OK: [$SHOWN]"
    [[ $(status_now) == "Entry deleted successfully, data saved." ]] ||
        fail "deleting $name, the window says [$(status_now)]"
    saved_as_shown || fail "the window shows [$SHOWN] after deleting $name, a's vault holds [$SAVED]"
    log "window removes $name"
}

cli_add() { st_cli_add "$@" && log "b adds $2"; }
cli_remove() { st_cli_remove "$@" && log "b removes $2"; }

# ---------------------------------------------------------------------------
STEP="a sealed vault on both computers"
printf '%s\n%s\n' "$ST_PASSWORD" "$ST_PASSWORD" | st_cli a init >/dev/null 2>&1 || fail "init failed"
for name in ann bob; do
    st_cli_add a "$name"
    ST_MODEL[$name]=1
done
# Sealed cheaply, and before records: the first saves start them.
printf '%s\n' "$ST_PASSWORD" | "$SEAL" seal "${ST_FOLDER[a]}/data.enc" || fail "the vault was not sealed"
st_scan a
within 60 st_same_vault || sync_fail "the vault did not reach b"
[[ $(st_users b) == "$(st_model)" ]] || fail "b reads [$(st_users b)]"

STEP="the window on a"
start_and_unlock "$ST_PASSWORD" --vault "${ST_FOLDER[a]}/data.enc"
a11y_window "$MAIN_NAME" 20 || fail "the main window is not in the accessibility tree"
shows_model() { SHOWN=$(window_users) && [[ $SHOWN == "$(st_model)" ]]; }
within 20 shows_model || fail "the window shows [$SHOWN], the vault holds [$(st_model)]"
log "ok: the window opened the sealed vault in a's folder"

# ---------------------------------------------------------------------------
# Settled: the same vault on both sides, no conflict copy on either, and
# the window's list what b's vault holds. Both sides scan now and then, so
# that what either Syncthing made (a conflict copy, the copy's removal after
# the window merged it) is carried too.
polls=0
SEEN_WINDOW=""
SEEN_A=""
SEEN_B=""
settled() {
    if ((polls++ % 5 == 0)); then
        st_scan a
        st_scan b
    fi
    st_same_vault && [[ -z $(st_conflict_copies a) && -z $(st_conflict_copies b) ]] || return 1
    SEEN_WINDOW=$(window_users) && SEEN_A=$(vault_users a) && SEEN_B=$(st_users b) &&
        [[ $SEEN_WINDOW == "$SEEN_A" && $SEEN_A == "$SEEN_B" ]]
}

vault_bytes_now() { cat "${ST_FOLDER[a]}/data.enc" "${ST_FOLDER[b]}/data.enc" | cksum; }
something_came() { [[ $(vault_bytes_now) != "$1" ]]; }

for ((round = 1; round <= ROUNDS; round++)); do
    STEP="round $round"
    st_link paused
    # Either side may change first. Syncthing keeps the version changed last
    # and makes the other a conflict copy, so this decides on which side the
    # copy appears first.
    sides=(a b)
    ((RANDOM % 2)) && sides=(b a)
    for side in "${sides[@]}"; do
        for ((k = RANDOM % 3; k >= 0; --k)); do
            if [[ $side == a ]]; then
                shown=$(window_rows) || fail "cannot read the window's list"
                held=()
                [[ -z $shown ]] || mapfile -t held <<<"$shown"
                st_change a window_add window_remove "${held[@]}"
            else
                read -r -a held <<<"$(st_users b)"
                st_change b cli_add cli_remove "${held[@]}"
            fi
        done
        st_scan "$side"
    done
    before=$(vault_bytes_now)
    b_first=$((RANDOM % 2))
    st_link resumed
    # Sometimes b's keynook-cli opens the vault as soon as either side got
    # the other's version: a conflict copy b has then is merged on b, before
    # it can reach the window.
    if ((b_first)); then
        within 60 something_came "$before" || sync_fail "nothing came over the resumed link"
        copies=$(st_copies b)
        said=$(printf '%s\n' "$ST_PASSWORD" | st_cli b list 2>&1 >/dev/null) ||
            fail "b could not open the vault: $said"
        log "b opens the vault first, $copies conflict copies beside it${said:+: $said}"
        st_scan b
    fi
    within 90 settled ||
        sync_fail "round $round did not settle: the window shows [$SEEN_WINDOW], a's vault" \
            "holds [$SEEN_A], b's [$SEEN_B], the model [$(st_model)]; the window's status" \
            "line: [$(status_now)]"
    [[ $SEEN_WINDOW == "$(st_model)" ]] ||
        fail "after round $round the window and both vaults hold [$SEEN_WINDOW], the model" \
            "[$(st_model)]; the window's status line: [$(status_now)]"
    log "ok: round $round settled with the model's $(st_model | wc -w) entries" \
        "(status line: $(status_now))"
done

# ---------------------------------------------------------------------------
STEP="the end"
screenshot e2e-syncthing-random-window.png
exit_through_file_menu "$MAIN_WIN"
st_same_vault || sync_fail "File > Exit changed the vault"
for side in a b; do
    got=$(st_users "$side")
    [[ $got == "$(st_model)" ]] || fail "$side holds [$got], the model [$(st_model)]"
done
printf '%s\n' "$ST_PASSWORD" | "$SEAL" open "${ST_FOLDER[a]}/data.enc" >/dev/null ||
    fail "the vault is not sealed under its password"
log "ok: both computers hold exactly the model's $(st_model | wc -w) entries, as the window did"

STEP="done"
log "PASS: random start $ST_SEED, $ROUNDS rounds with the window on a and keynook-cli on b, in $((SECONDS - STARTED_AT)) s"

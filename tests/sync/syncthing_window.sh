#!/usr/bin/env bash
# The window with two real Syncthing instances, a and b, sharing the folder
# its vault is in (data.enc beside the program is a link into a's folder, as
# the README suggests). The window runs on a's computer, keynook-cli stands
# for b's.
#   1. b adds an entry; Syncthing delivers the vault to a, and the open
#      window shows the entry, and says so on its status line, with no input
#      at all;
#   2. with the window closed, a and b each add an entry while the link is
#      paused, and the resumed link leaves a conflict copy on both sides. The
#      window merges it when it opens the vault: the list holds both
#      entries, the status line says so, the copy is kept among the backups
#      in a's data folder and gone from a's folder, and its removal and the
#      merged vault reach b;
#   3. with the window closed, a and b each add an entry while the link is
#      paused; the window opens a's vault through --vault (a path relative
#      to the folder it starts in, no link beside it), and only then is the
#      link resumed: the conflict copy Syncthing makes appears while the
#      window is open, and the window merges it as it appears, with no
#      input, and says so; the copy is gone from both sides and b reads the
#      merged vault.
# What the window shows is read through its accessibility tree
# (e2e_a11y.sh), which takes no input; Syncthing scans only when asked, and
# every wait polls a real condition with a deadline.
#
# Usage: syncthing_window.sh <keynook> <keynook-cli> [screenshot folder]

set -u

E2E_NAME=syncthing-window
BUILT=${1:?usage: $0 <keynook> <keynook-cli> [screenshot folder]}
HERE=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=../e2e/e2e_common.sh
source "$HERE/../e2e/e2e_common.sh" || exit 1
# shellcheck source=../e2e/e2e_a11y.sh
source "$HERE/../e2e/e2e_a11y.sh" || exit 1
# shellcheck source=syncthing_common.sh
source "$HERE/syncthing_common.sh" || exit 1
ST_CLI=$(realpath "${2:?usage: $0 <keynook> <keynook-cli> [screenshot folder]}")
e2e_setup "$BUILT" "${3:-}"
a11y_setup
st_beside_window
ST_PASSWORD='Two hills, 1 vale'
PASSWORD=$ST_PASSWORD
MAIN_NAME='Keynook by Quietlatch Labs'
ln -s "${ST_FOLDER[a]}/data.enc" "$VAULT" || fail "cannot link the vault beside the program"

add() { # side username: an entry whose password is pw-<username>
    printf '%s\npw-%s\n' "$PASSWORD" "$2" | st_cli "$1" add --username "$2" >/dev/null 2>&1 ||
        fail "keynook-cli on $1 could not add $2"
}
# The rows a list of these usernames shows, sorted.
rows_of() {
    local user
    for user in "$@"; do printf '%s\tpw-%s\t\n' "$user" "$user"; done | sort
}
sync_fail() { fail "$* $(st_listing)"; }

SHOWN_STATUS=""
SHOWN_ROWS=""
# Whether the window shows status text $1 and the rows $2 (in any order).
window_shows() {
    SHOWN_STATUS=$(a11y_status_text "$A11Y_WINDOW") &&
        SHOWN_ROWS=$(a11y_list_rows "$A11Y_WINDOW" | sort) &&
        [[ "$SHOWN_STATUS" == "$1" && "$SHOWN_ROWS" == "$2" ]]
}
expect_window_shows() { # status rows what
    within 20 window_shows "$1" "$2" ||
        fail "$3: the window shows [$SHOWN_STATUS] and the rows [$SHOWN_ROWS], expected [$1] and [$2]"
    log "ok: $3"
}

# ---------------------------------------------------------------------------
STEP="a vault on both computers"
printf '%s\n%s\n' "$PASSWORD" "$PASSWORD" | st_cli a init >/dev/null 2>&1 || fail "init failed"
add a ann
st_scan a
within 60 st_same_vault || sync_fail "the vault did not reach b"
log "ok: the vault made on a reached b"

# ---------------------------------------------------------------------------
STEP="a change from b while the window is open"
start_and_unlock "$PASSWORD"
a11y_window "$MAIN_NAME" 20 || fail "the main window is not in the accessibility tree"
expect_window_shows "Loaded 1 entries" "$(rows_of ann)" "the window opened the vault"

add b bob
st_scan b
# Nothing is typed or clicked from here on: the change has to come in by
# itself.
expect_window_shows "Updated from another copy: 1 added, 0 removed." "$(rows_of ann bob)" \
    "b's entry, delivered by Syncthing, shows in the open window"
st_same_vault || sync_fail "the window rewrote the vault it was given"
screenshot e2e-syncthing-window-followed.png
exit_through_file_menu "$MAIN_WIN"

# ---------------------------------------------------------------------------
STEP="a conflict copy"
st_link paused
add a from-a
add b from-b
st_scan a
st_scan b
st_link resumed
copy_on_both() {
    [[ $(st_conflict_copies a | wc -l) -eq 1 && $(st_conflict_copies b | wc -l) -eq 1 ]] &&
        st_same_vault
}
within 60 copy_on_both || sync_fail "no conflict copy on both sides"
COPY=$(st_conflict_copies a)
cp "${ST_FOLDER[a]}/$COPY" "$WORK/copy.enc" || fail "cannot keep the copy's bytes"
log "ok: Syncthing kept one version and made $COPY on both sides"

start_and_unlock "$PASSWORD"
a11y_window "$MAIN_NAME" 20 || fail "the main window is not in the accessibility tree"
expect_window_shows \
    "Loaded 4 entries. Merged a conflict copy: 1 added, 0 removed." \
    "$(rows_of ann bob from-a from-b)" "the window merged the conflict copy when it opened the vault"
[[ -z $(st_conflict_copies a) ]] || sync_fail "the conflict copy is still in a's folder"
kept=$(find "$XDG_DATA_HOME" -type f -name "*-$COPY" -exec cmp -s "$WORK/copy.enc" {} \; -print)
[[ -n "$kept" ]] || fail "the conflict copy is not among the backups in $XDG_DATA_HOME"
log "ok: the copy is kept as $kept and gone from a's folder"
screenshot e2e-syncthing-window-merged.png

st_scan a
no_copy_on_b() { [[ -z $(st_conflict_copies b) ]] && st_same_vault; }
within 60 no_copy_on_b || sync_fail "the merge and the copy's removal did not reach b"
users_b=$(st_users b)
[[ $users_b == "ann bob from-a from-b " ]] || fail "b reads [$users_b]"
log "ok: the merged vault and the copy's removal reached b"
exit_through_file_menu "$MAIN_WIN"

# ---------------------------------------------------------------------------
STEP="a conflict copy while the window is open"
rm "$VAULT" || fail "cannot remove the link beside the program"
st_link paused
add a a-late
add b b-late
st_scan a
st_scan b
start_and_unlock "$PASSWORD" --vault "$(realpath --relative-to="$APP_DIR" "${ST_FOLDER[a]}/data.enc")"
a11y_window "$MAIN_NAME" 20 || fail "the main window is not in the accessibility tree"
expect_window_shows "Loaded 5 entries" "$(rows_of ann bob from-a from-b a-late)" \
    "the window opened a's vault named with --vault"
st_link resumed
# Whichever version Syncthing keeps, the window ends up with both.
expect_window_shows "Merged a conflict copy: 1 added, 0 removed." \
    "$(rows_of ann bob from-a from-b a-late b-late)" \
    "the conflict copy made while the window is open is merged as it appears"
[[ -z $(st_conflict_copies a) ]] || sync_fail "the conflict copy is still in a's folder"
[[ ! -e "$VAULT" ]] || fail "a vault was made beside the program"
screenshot e2e-syncthing-window-merged-live.png
st_scan a
within 60 no_copy_on_b || sync_fail "the live merge and the copy's removal did not reach b"
users_b=$(st_users b)
[[ $users_b == "a-late ann b-late bob from-a from-b " ]] || fail "b reads [$users_b]"
log "ok: the vault merged in the open window, and the copy's removal, reached b"
exit_through_file_menu "$MAIN_WIN"

STEP="done"
log "PASS: the window follows and merges a vault that Syncthing carries, in $((SECONDS - STARTED_AT)) s"

#!/usr/bin/env bash
# The program folder is found from the running executable, whatever the
# bytes of its name: a copy in a folder whose name is not valid UTF-8, started
# from another folder, keeps its vault and reads its Help.rtf there, not in
# the current folder. And `--version` answers without any display, as does
# a mistake in `--vault`.
#
# Usage: odd_program_folder.sh <path to built keynook> [screenshot folder]

set -u

E2E_NAME=odd-folder
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
HELP_SOURCE="$(dirname "$1")/Help.rtf"
e2e_setup "$@"

PASSWORD='Rain on tin 3'
HELP_TITLE='^Readme/Help$'

STEP="--version"
version=$(env -u DISPLAY "$KEYNOOK" --version 2>&1) || fail "--version failed: $version"
[[ "$version" =~ ^Keynook\ [0-9]+(\.[0-9]+)+$ ]] || fail "--version printed [$version]"
log "ok: --version prints [$version]"
# So does a mistake in --vault, before anything is opened.
said=$(env -u DISPLAY "$KEYNOOK" --vault "$WORK" 2>&1)
rc=$?
[[ $rc -eq 1 && $said == "keynook: --vault names the vault file, and $WORK is a folder; see \`keynook --help\`" ]] ||
    fail "--vault naming a folder ended with $rc and said [$said]"
log "ok: --vault naming a folder is refused without a display"

STEP="odd folder"
# Latin-1 bytes of "café": not UTF-8.
APP_DIR="$WORK/caf"$'\xe9'
ELSEWHERE="$WORK/elsewhere"
mkdir -p "$APP_DIR" "$ELSEWHERE" || fail "cannot create folders"
cp "$KEYNOOK" "$APP_DIR/keynook" && cp "$HELP_SOURCE" "$APP_DIR/Help.rtf" ||
    fail "cannot copy the program"
KEYNOOK="$APP_DIR/keynook"
VAULT="$APP_DIR/data.enc"

: >"$APP_LOG"
(cd "$ELSEWHERE" && exec "$KEYNOOK") >"$APP_LOG" 2>&1 &
APP_PID=$!
PASS_WIN=$(wait_window "$PASS_TITLE" 20) || fail "no visible 'Password Required' window within 20 s"
expect_vault "$CRLF" "a new vault beside the program"
[[ -z "$(ls -A "$ELSEWHERE")" ]] || fail "files appeared in the current folder: $(ls -A "$ELSEWHERE")"

type_into "$PASS_WIN" "$PASSWORD"
press_keys Tab
type_into "$PASS_WIN" "$PASSWORD"
press_keys Return
wait_window "$MAIN_TITLE" 20 >/dev/null || fail "no main window after creating the password"
wait_window "$HELP_TITLE" 20 >/dev/null || fail "no help window: Help.rtf beside the program was not read"
expect_vault "$(vault_line_hex "$PASSWORD")" "the vault beside the program holds the master password"
[[ -z "$(ls -A "$ELSEWHERE")" ]] || fail "files appeared in the current folder: $(ls -A "$ELSEWHERE")"

STEP="done"
log "PASS: a program folder named in other bytes than UTF-8 is the program's folder, in $((SECONDS - STARTED_AT)) s"

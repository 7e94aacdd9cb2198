#!/usr/bin/env bash
# End-to-end run of the real program on a private X server: the start through
# the splash with Help.rtf beside the program, and the help window's
# "Show at Startup" box, as a person would use them.
#   1. first start: create the master password; the main window and the help
#      window come up (the help window in front); a screenshot of the help;
#   2. untick "Show at Startup": the setting "showHelp" is written as 0 at
#      once; File > Exit;
#   3. second start: unlock; the main window comes up without the help window;
#      a screenshot of the main window.
#
# Usage: help_window.sh <path to built keynook> [screenshot folder]

set -u

E2E_NAME=help
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh" || exit 1
HELP_SOURCE="$(dirname "$1")/Help.rtf"
e2e_setup "$@"

HELP_TITLE='^Readme/Help$'
PASSWORD='Green tea at 5'
SETTINGS="$XDG_CONFIG_HOME/Keynook/Keynook.conf"
# "Show at Startup" sits at the help window's bottom left (60, 7620 twips).
CHECK_X=12
CHECK_Y=516

[[ -r "$HELP_SOURCE" ]] || fail "no Help.rtf beside the built program ($HELP_SOURCE)"
cp "$HELP_SOURCE" "$APP_DIR/Help.rtf" || fail "cannot copy Help.rtf"

setting_is_zero() {
    grep -qx 'showHelp=0' "$SETTINGS" 2>/dev/null
}

# ---------------------------------------------------------------------------
STEP="first start, help shown"

start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) || fail "no visible 'Password Required' window within 20 s"
type_into "$PASS_WIN" "$PASSWORD"
press_keys Tab
type_into "$PASS_WIN" "$PASSWORD"
press_keys Return
MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) || fail "no visible main window after creating the password"
HELP_WIN=$(wait_window "$HELP_TITLE" 20) || fail "no visible help window at the first start"
log "ok: main window $MAIN_WIN and help window $HELP_WIN shown"
[[ ! -e "$SETTINGS" ]] || ! grep -q showHelp "$SETTINGS" ||
    fail "opening the help window wrote the setting: $(cat "$SETTINGS")"
if [[ -n "$SHOT_DIR" ]]; then
    import -window "$HELP_WIN" "$SHOT_DIR/e2e-help-window.png" || fail "screenshot of the help window failed"
    log "screenshot: $SHOT_DIR/e2e-help-window.png"
fi

STEP="unticking Show at Startup"
click_at "$HELP_WIN" "$CHECK_X" "$CHECK_Y"
poll 50 0.1 setting_is_zero || fail "unticking 'Show at Startup' did not write showHelp=0 ($(cat "$SETTINGS" 2>&1))"
log "ok: showHelp=0 written"

# Nothing manages windows here, so the help window (in front of everything)
# is moved aside by hand to reach the main window's menu.
xdotool windowmove --sync "$HELP_WIN" 0 700 || xdotool windowmove "$HELP_WIN" 0 700 ||
    fail "cannot move the help window aside"
exit_through_file_menu "$MAIN_WIN"

# ---------------------------------------------------------------------------
STEP="second start, no help"

start_and_unlock "$PASSWORD"
no_visible_window "$HELP_TITLE" || fail "the help window opened although Show at Startup was unticked"
log "ok: no help window at the second start"
if [[ -n "$SHOT_DIR" ]]; then
    # The list has been painted by now: start_and_unlock found its body.
    import -window "$MAIN_WIN" "$SHOT_DIR/e2e-main-window.png" || fail "screenshot of the main window failed"
    log "screenshot: $SHOT_DIR/e2e-main-window.png"
fi
exit_through_file_menu "$MAIN_WIN"

STEP="done"
log "PASS: the help window opens at the first start and stays closed once unticked, in $((SECONDS - STARTED_AT)) s"

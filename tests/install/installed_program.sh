#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, as `sudo cmake --install build`
# or the Debian package would under /usr, and checks what a desktop sees:
#   1. every installed file is in place: the programs, Help.rtf, the launcher
#      (desktop-file-validate), the metainfo (appstreamcli), the icons at their
#      sizes, the manual pages (compressed), the copyright file; the launcher
#      starts and shows installed files;
#   2. the installed program, started from <DESTDIR>/usr/bin on a private X
#      server, creates its vault in $XDG_DATA_HOME/Keynook (0700), not beside
#      itself although that folder is writable here; the help window opens
#      after the master password is created, which it does only when the
#      installed Help.rtf was found; the installed keynook-cli finds that
#      vault locked by the window; its main window carries the launcher's
#      StartupWMClass.
#
# Usage: installed_program.sh <cmake> <build folder> <built keynook> [screenshot folder]

set -u

E2E_NAME=install
# shellcheck source=../e2e/e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e_common.sh" || exit 1
CMAKE=${1:?usage: $0 <cmake> <build folder> <built keynook> [screenshot folder]}
BUILD=${2:?usage: $0 <cmake> <build folder> <built keynook> [screenshot folder]}
shift 2
require_tools desktop-file-validate appstreamcli identify
# Sets up the private folder, settings and X server. (Its copy of the built
# program in $WORK/app is not used: the installed one is.)
e2e_setup "$@"

APP_ID=example.keynook.Keynook
PASSWORD='Mint leaf 7'
HELP_TITLE='^Readme/Help$'

# ---------------------------------------------------------------------------
STEP="install"

DEST="$WORK/dest"
ROOT="$DEST/usr"
# The component holds every install rule; naming it keeps this install's list
# of files (install_manifest_keynook.txt) apart from `make install`'s.
DESTDIR="$DEST" "$CMAKE" --install "$BUILD" --prefix /usr --component keynook \
    >"$WORK/install.log" 2>&1 || fail "cmake --install failed: $(cat "$WORK/install.log")"

STEP="installed files"

DESKTOP="$ROOT/share/applications/$APP_ID.desktop"
METAINFO="$ROOT/share/metainfo/$APP_ID.metainfo.xml"
for program in keynook keynook-cli; do
    [[ -x "$ROOT/bin/$program" ]] || fail "no executable $ROOT/bin/$program"
    gzip -dc "$ROOT/share/man/man1/$program.1.gz" 2>/dev/null | head -n1 | grep -qi "^\.TH $program 1 " ||
        fail "no compressed manual page at share/man/man1/$program.1.gz"
done
for f in "$ROOT/share/keynook/Help.rtf" "$DESKTOP" "$METAINFO" "$ROOT/share/doc/keynook/copyright"; do
    [[ -s "$f" ]] || fail "$f is missing or empty"
done
for size in 48 64 128 256; do
    icon="$ROOT/share/icons/hicolor/${size}x${size}/apps/keynook.png"
    got=$(identify -format '%wx%h' "$icon" 2>/dev/null)
    [[ "$got" == "${size}x${size}" ]] || fail "$icon is [$got], expected a ${size}x${size} PNG"
done
log "ok: programs, Help.rtf, launcher, metainfo, manual pages, copyright and icons installed"

desktop-file-validate "$DESKTOP" || fail "desktop-file-validate rejected $DESKTOP"
appstreamcli validate --no-net "$METAINFO" || fail "appstreamcli rejected $METAINFO"
# The installed tree as a software centre reads it: the metainfo's launcher
# must be installed too.
appstreamcli validate-tree --no-net "$DEST" >"$WORK/tree.log" 2>&1 ||
    fail "appstreamcli validate-tree rejected the installed files: $(cat "$WORK/tree.log")"

desktop_key() {
    sed -n "s/^$1=//p" "$DESKTOP" | head -n1
}
EXEC=$(desktop_key Exec)
ICON=$(desktop_key Icon)
[[ -x "$ROOT/bin/$EXEC" ]] || fail "the launcher starts [$EXEC], which is not in $ROOT/bin"
[[ -f "$ROOT/share/icons/hicolor/48x48/apps/$ICON.png" ]] ||
    fail "the launcher shows icon [$ICON], which is not installed"
log "ok: launcher and metainfo valid; the launcher starts and shows installed files"

# ---------------------------------------------------------------------------
STEP="installed program"

APP_DIR="$ROOT/bin"
KEYNOOK="$APP_DIR/keynook"
VAULT="$XDG_DATA_HOME/Keynook/data.enc"
[[ -w "$APP_DIR" ]] || fail "$APP_DIR should be writable for this test"

start_program
PASS_WIN=$(wait_window "$PASS_TITLE" 20) || fail "no visible 'Password Required' window within 20 s"
# The program creates the never-used vault before it asks for anything.
expect_vault "$CRLF" "a new vault in \$XDG_DATA_HOME/Keynook"
[[ ! -e "$APP_DIR/data.enc" ]] || fail "a vault was created beside the installed program"
mode=$(stat -c %a "$XDG_DATA_HOME/Keynook")
[[ "$mode" == 700 ]] || fail "the vault's folder has mode $mode, expected 700"

type_into "$PASS_WIN" "$PASSWORD"
press_keys Tab
type_into "$PASS_WIN" "$PASSWORD"
press_keys Return
MAIN_WIN=$(wait_window "$MAIN_TITLE" 20) || fail "no visible main window after creating the password"
wait_window "$HELP_TITLE" 20 >/dev/null ||
    fail "no help window: the installed $ROOT/share/keynook/Help.rtf was not read"
log "ok: main window and help window shown"
expect_vault "$(vault_line_hex "$PASSWORD")" "the vault holds the new master password"
[[ ! -e "$APP_DIR/data.enc" ]] || fail "a vault was written beside the installed program"

# The installed command line finds the same vault, and the window's lock on
# it: it is turned away (status 2) before it asks for anything.
cli_status=0
printf '%s\n' "$PASSWORD" | "$APP_DIR/keynook-cli" --password-stdin list >"$WORK/cli.out" 2>&1 ||
    cli_status=$?
[[ "$cli_status" == 2 ]] ||
    fail "keynook-cli beside the window ended with status $cli_status, expected 2: $(cat "$WORK/cli.out")"
log "ok: the installed keynook-cli finds the window's vault, and its lock"

# The desktop ties windows to the launcher by StartupWMClass. (xdotool
# compares classes without regard to case.)
WM_CLASS=$(desktop_key StartupWMClass)
xdotool search --class "^$WM_CLASS\$" 2>/dev/null | grep -qx "$MAIN_WIN" ||
    fail "the main window's class is not the launcher's StartupWMClass [$WM_CLASS]"
screenshot e2e-installed-program.png

STEP="done"
log "PASS: the installed program uses its installed files and the user's data folder, in $((SECONDS - STARTED_AT)) s"

#!/usr/bin/env bash
# `keynook-cli clip` on a private X server, read back with xclip as any
# program that pastes would: the password is on the clipboard, marked as a
# secret for clipboard managers, while the command has returned and the
# vault is free; it is gone once the timeout passed; a username is not
# marked; and what another program copied meanwhile stays.
#   clipboard.sh <keynook-cli> [screenshot folder]
# shellcheck disable=SC2034 # E2E_NAME is read by e2e_common.sh
E2E_NAME=cli-clipboard
# shellcheck source=../e2e/e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e_common.sh" || exit 1

e2e_setup "${1:-}" "${2:-}"
CLI=$KEYNOOK # the copy of keynook-cli in the run's own folder
V="$WORK/vault.enc"
MASTER='master of the clip test'
SECRET='S3cret clip pass'

clipboard() { xclip -o -selection clipboard "$@" 2>/dev/null; }

STEP="vault"
printf '%s\n' "$MASTER" | "$CLI" --vault "$V" --password-stdin init 2>/dev/null || fail "init"
printf '%s\n' "$MASTER" "$SECRET" |
    "$CLI" --vault "$V" --password-stdin add --username me --location example.org 2>/dev/null ||
    fail "add"
OTHER='another entry s3cret'
printf '%s\n' "$MASTER" "$OTHER" |
    "$CLI" --vault "$V" --password-stdin add --username bob --location elsewhere.test 2>/dev/null ||
    fail "add bob"

# In how many places the ASCII text $2, as UTF-8 or as Qt's UTF-16, is in
# the readable memory of process $1 (root alone may read it: the program is
# not dumpable), or nothing when it cannot be read.
occurrences() {
    local pid=$1 text=$2 utf16
    utf16=$(sed 's/./&\\x00/g' <<<"$text")
    [[ -r /proc/$pid/mem ]] && dd if="/proc/$pid/mem" bs=1 count=0 2>/dev/null || return 0
    dump_memory "$pid" "$WORK/memory"
    grep -a -c -P -e "\\Q$text\\E|$utf16" "$WORK/memory"
    rm -f "$WORK/memory"
}

# The clipboard process named in the message.
process_in() { sed -n 's/.*(process \([0-9][0-9]*\) keeps it.*/\1/p' <<<"$1"; }

# When process $1 started, or nothing once it is gone: with few process
# numbers on a busy machine, a number can be given again within seconds.
started() { cut -d' ' -f22 "/proc/$1/stat" 2>/dev/null; }

STEP="password"
# $(...) returns once nobody holds the command's output: the clipboard
# process must not, since it lives on after the command. It is given long
# enough to outlast the search of its memory, however slow the build; the
# timeout itself is checked below with a short one.
told=$(printf '%s\n' "$MASTER" | "$CLI" --vault "$V" --password-stdin clip example.org --exact --timeout 120 2>&1) ||
    fail "clip failed: $told"
server=$(process_in "$told")
[[ -n "$server" ]] || fail "the message names no process: $told"
kill -0 "$server" 2>/dev/null || fail "the clipboard process was gone when the command returned"
[[ "$(clipboard)" == "$SECRET" ]] || fail "the clipboard holds [$(clipboard)]"
[[ "$(clipboard -t x-kde-passwordManagerHint)" == secret ]] ||
    fail "the password is not marked as a secret: targets [$(clipboard -t TARGETS | tr '\n' ' ')]"
[[ "$told" == *"cleared in 120 seconds"* ]] || fail "the message: $told"
server_started=$(started "$server")
printf '%s\n' "$MASTER" | "$CLI" --vault "$V" --password-stdin list >/dev/null 2>&1 ||
    fail "the vault is not free while the clipboard is on offer"
found=$(occurrences "$server" "$SECRET")
if [[ -n "$found" ]]; then
    [[ "$found" -gt 0 ]] || fail "the clipboard process's memory was not read: no copy of the text"
    [[ "$(occurrences "$server" "$MASTER")" == 0 ]] || fail "the clipboard process holds the master password"
    [[ "$(occurrences "$server" "$OTHER")" == 0 ]] || fail "the clipboard process holds another entry's password"
    # Each search was of the clipboard process, not of one that took its
    # number after it ended (this script's own subshells hold every text).
    [[ "$(started "$server")" == "$server_started" ]] ||
        fail "the clipboard process ended while its memory was searched"
    log "ok: the clipboard process holds neither the master password nor another entry"
else
    log "the clipboard process's memory cannot be read without root: not searched"
fi
log "ok: the password is on the clipboard, marked secret, and the vault is free"

STEP="cleared"
kill "$server"
told=$(printf '%s\n' "$MASTER" | "$CLI" --vault "$V" --password-stdin clip example.org --exact --timeout 2 2>&1) ||
    fail "clip failed: $told"
server=$(process_in "$told")
[[ "$(clipboard)" == "$SECRET" ]] || fail "the clipboard holds [$(clipboard)]"
timeout 30 tail --pid="$server" -f /dev/null || fail "the clipboard process did not end"
clipboard >/dev/null && fail "the clipboard still holds [$(clipboard)] after the timeout"
log "ok: cleared after the timeout"

STEP="copied meanwhile"
told=$(printf '%s\n' "$MASTER" | "$CLI" --vault "$V" --password-stdin clip me --field username --timeout 3 2>&1) ||
    fail "clip --field username failed: $told"
server=$(process_in "$told")
[[ -n "$server" ]] || fail "the message names no process: $told"
[[ "$(clipboard)" == me ]] || fail "the clipboard holds [$(clipboard)]"
clipboard -t TARGETS | grep -q passwordManagerHint && fail "a username is marked as a secret"
# Another program's copy: xclip serves one paste, the check below.
printf 'copied meanwhile' | xclip -selection clipboard -loops 1
timeout 30 tail --pid="$server" -f /dev/null || fail "the clipboard process did not end"
[[ "$(clipboard)" == "copied meanwhile" ]] ||
    fail "what was copied meanwhile is gone: the clipboard holds [$(clipboard)]"
log "ok: what another program copied meanwhile stays"

STEP="runtime folder"
# Without a runtime folder (su, ssh -X, containers), or with one Qt finds
# too open, Qt warns on standard error: the clipboard is taken all the same,
# and the command says so and returns while the process keeps it.
mkdir -m 0755 "$WORK/open-runtime"
for runtime in unset open; do
    if [[ $runtime == unset ]]; then
        env_args=(-u XDG_RUNTIME_DIR)
    else
        env_args=(XDG_RUNTIME_DIR="$WORK/open-runtime")
    fi
    told=$(printf '%s\n' "$MASTER" |
        env "${env_args[@]}" "$CLI" --vault "$V" --password-stdin clip example.org --exact --timeout 60 2>&1) ||
        fail "clip with the runtime folder $runtime failed: $told"
    server=$(process_in "$told")
    [[ -n "$server" ]] && kill -0 "$server" 2>/dev/null ||
        fail "with the runtime folder $runtime, the command returned without a clipboard process: $told"
    [[ "$(clipboard)" == "$SECRET" ]] || fail "with the runtime folder $runtime the clipboard holds [$(clipboard)]"
    kill "$server"
done
log "ok: Qt's warnings are no failure"

STEP="no display"
told=$(printf '%s\n' "$MASTER" | env -u DISPLAY -u WAYLAND_DISPLAY "$CLI" --vault "$V" --password-stdin clip me 2>&1) &&
    fail "clip without a display succeeded: $told"
[[ "$told" == *"there is no display"* ]] || fail "without a display: $told"
# A display that cannot be reached: the reason is the display's, not a
# warning Qt gave before it.
told=$(printf '%s\n' "$MASTER" | env -u XDG_RUNTIME_DIR DISPLAY=:97531 "$CLI" --vault "$V" --password-stdin clip me 2>&1) &&
    fail "clip with an unreachable display succeeded: $told"
[[ "$told" == *"display"* && "$told" != *XDG_RUNTIME_DIR* ]] || fail "with an unreachable display: $told"
log "ok: refused without a display"

log "PASS"

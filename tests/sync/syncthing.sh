#!/usr/bin/env bash
# Two real Syncthing instances on this machine (127.0.0.1 only, discovery and
# relays off) share the folder a vault lives in. Both computers change the
# vault while the link is paused, so that Syncthing keeps one version and
# renames the other into a conflict copy; keynook-cli then merges the copy
# when it opens the vault, with both changes kept, and its removal reaches
# the other instance. Nothing of Keynook's but the vault travels: neither the
# lock of a command holding the vault nor what a save leaves.
#
# Usage: syncthing.sh <keynook-cli>
set -euo pipefail

CLI=$(realpath "${1:?usage: $0 <keynook-cli>}")
fail() {
    echo "FAIL: $*" >&2
    st_listing >&2
    exit 1
}
# shellcheck source=syncthing_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/syncthing_common.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-syncthing.XXXXXX")
cleanup() {
    st_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
st_start "$WORK"

# keynook-cli on one side's vault, its data folder that side's own.
cli() { # side args... (secrets on standard input)
    local side=$1
    shift
    XDG_DATA_HOME="$WORK/$side/data" HOME="$WORK/$side" \
        "$CLI" --vault "${ST_FOLDER[$side]}/data.enc" --password-stdin "$@"
}
users() {
    printf 'pw 1234\n' | cli "$1" list --format tsv 2>/dev/null | cut -f1 | tail -n +2 | sort | tr '\n' ' '
}
copies() { st_conflict_copies "$1" | grep -c . || true; }

printf 'pw 1234\npw 1234\n' | cli a init 2>/dev/null
printf 'pw 1234\nx\n' | cli a add --username ann 2>/dev/null
st_scan a
within 60 st_same_vault || fail "the vault did not reach b"
[[ $(users b) == "ann " ]] || fail "b reads $(users b)"
echo "ok: the vault made on a reached b"

# Both change it while they cannot reach each other, and each scans its
# change before the link comes back.
st_link paused
printf 'pw 1234\nx\n' | cli a add --username from-a 2>/dev/null
printf 'pw 1234\nx\n' | cli b add --username from-b 2>/dev/null
st_scan a
st_scan b
st_link resumed
both_have_copy() { [[ $(copies a) -ge 1 && $(copies b) -ge 1 ]] && st_same_vault; }
within 90 both_have_copy || fail "no conflict copy on both sides"
echo "ok: Syncthing kept one version and a conflict copy on both sides"

# Either side's keynook-cli merges the copy when it opens the vault.
out=$(printf 'pw 1234\n' | cli b list --format tsv 2>&1 >/dev/null)
grep -q "Merged the Syncthing conflict copy" <<<"$out" || fail "b merged nothing: $out"
[[ $(users b) == "ann from-a from-b " ]] || fail "b's merge holds $(users b)"
[[ $(copies b) -eq 0 ]] || fail "the copy is still on b"
st_scan b
no_copy_on_a() { [[ $(copies a) -eq 0 ]] && st_same_vault; }
within 60 no_copy_on_a || fail "the merge and the copy's removal did not reach a"
[[ $(users a) == "ann from-a from-b " ]] || fail "a reads $(users a)"
echo "ok: the conflict copy was merged, and its removal and the merge reached the other side"

# A command holds the vault on a (waiting for its password), its lock beside
# it, and a save cut short left its temporary file there while a scans a
# change: only the vault reaches b.
printf 'pw 1234\nx\n' | cli a add --username late 2>/dev/null
mkfifo "$WORK/password"
cli a list <"$WORK/password" >/dev/null 2>&1 &
holder=$!
exec 3>"$WORK/password"
held() { [[ -s "${ST_FOLDER[a]}/~syncthing~.data.enc.lock.tmp" ]]; }
within 30 held || fail "the command on a took no lock"
echo partial >"${ST_FOLDER[a]}/~syncthing~.data.enc.new-Ab12Cd.tmp"
st_scan a
within 60 st_same_vault || fail "the change on a did not reach b"
[[ $(ls -A "${ST_FOLDER[b]}" | grep -v '^\.stfolder$' | tr '\n' ' ') == "data.enc " ]] ||
    fail "more than the vault reached b"
printf 'pw 1234\n' >&3
exec 3>&-
wait "$holder" || fail "the command holding the vault on a failed"
echo "ok: neither the lock nor a half-written save travelled with the vault"

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

# shellcheck source=syncthing_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/syncthing_common.sh"
ST_CLI=$(realpath "${1:?usage: $0 <keynook-cli>}")
ST_PASSWORD='pw 1234'
st_run_alone syncthing

printf 'pw 1234\npw 1234\n' | st_cli a init 2>/dev/null
st_cli_add a ann
st_scan a
within 60 st_same_vault || fail "the vault did not reach b"
[[ $(st_users b) == "ann " ]] || fail "b reads $(st_users b)"
echo "ok: the vault made on a reached b"

# Both change it while they cannot reach each other, and each scans its
# change before the link comes back.
st_link paused
st_cli_add a from-a
st_cli_add b from-b
st_scan a
st_scan b
st_link resumed
both_have_copy() { [[ $(st_copies a) -ge 1 && $(st_copies b) -ge 1 ]] && st_same_vault; }
within 90 both_have_copy || fail "no conflict copy on both sides"
echo "ok: Syncthing kept one version and a conflict copy on both sides"

# Either side's keynook-cli merges the copy when it opens the vault.
out=$(printf 'pw 1234\n' | st_cli b list --format tsv 2>&1 >/dev/null)
grep -q "Merged the Syncthing conflict copy" <<<"$out" || fail "b merged nothing: $out"
[[ $(st_users b) == "ann from-a from-b " ]] || fail "b's merge holds $(st_users b)"
[[ $(st_copies b) -eq 0 ]] || fail "the copy is still on b"
st_scan b
no_copy_on_a() { [[ $(st_copies a) -eq 0 ]] && st_same_vault; }
within 60 no_copy_on_a || fail "the merge and the copy's removal did not reach a"
[[ $(st_users a) == "ann from-a from-b " ]] || fail "a reads $(st_users a)"
echo "ok: the conflict copy was merged, and its removal and the merge reached the other side"

# A command holds the vault on a (waiting for its password), its lock beside
# it, and a save cut short left its temporary file there while a scans a
# change: only the vault reaches b.
st_cli_add a late
mkfifo "$WORK/password"
st_cli a list <"$WORK/password" >/dev/null 2>&1 &
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

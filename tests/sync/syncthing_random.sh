#!/usr/bin/env bash
# Two real Syncthing instances carry a sealed vault between two computers,
# a and b, each with its own data folder. Round after round the link is
# paused, each side adds and removes entries at random with keynook-cli,
# and the link comes back: Syncthing carries one side's version or keeps
# both, one as a conflict copy, which the next keynook-cli merges. At the
# end both computers hold exactly the entries of a model of what was added
# and not removed: none lost, none back.
#
# Usage: syncthing_random.sh <keynook-cli> <keynook_e2e_seal>
set -euo pipefail

# shellcheck source=syncthing_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/syncthing_common.sh"
ST_CLI=$(realpath "${1:?usage: $0 <keynook-cli> <keynook_e2e_seal>}")
SEAL=$(realpath "${2:?usage: $0 <keynook-cli> <keynook_e2e_seal>}")
ST_PASSWORD='pw 1234'
st_run_alone syncthing-random
st_seed

printf 'pw 1234\npw 1234\n' | st_cli a init 2>/dev/null
for name in ann bob; do
    st_cli_add a "$name"
    ST_MODEL[$name]=1
done
# Sealed cheaply, and before records: the first saves start them.
printf 'pw 1234\n' | "$SEAL" seal "${ST_FOLDER[a]}/data.enc" || fail "the vault was not sealed"
st_scan a
within 60 st_same_vault || fail "the vault did not reach b"
[[ $(st_users b) == "$(st_model)" ]] || fail "b reads $(st_users b)"

# The same vault on both sides, each side scanning now and then, so that
# what its Syncthing made (a conflict copy) is carried too.
polls=0
converged() {
    if ((polls++ % 10 == 0)); then
        st_scan a
        st_scan b
    fi
    st_same_vault && [[ $(st_conflict_copies a) == "$(st_conflict_copies b)" ]]
}

# Settled: the same vault on both sides and no conflict copy left, each
# side's keynook-cli having merged what it found.
settle() {
    local try said side
    for try in 1 2 3 4 5 6 7 8; do
        within 60 converged || fail "the two sides did not reach the same vault"
        if [[ $(st_copies a) -eq 0 && $(st_copies b) -eq 0 ]]; then
            return 0
        fi
        # A side that has a copy merges it; the other may not have it yet.
        side=a
        if [[ $(st_copies a) -eq 0 ]] || { [[ $(st_copies b) -gt 0 ]] && ((RANDOM % 2)); }; then
            side=b
        fi
        said=$(printf 'pw 1234\n' | st_cli "$side" list 2>&1 >/dev/null) ||
            fail "$side could not open the vault: $said"
        # A copy that Syncthing was still finishing (its time is set just
        # after its rename) is left, said so, and taken at the next try.
        if grep -q 'Merged the Syncthing conflict copy' <<<"$said"; then
            st_scan "$side"
            within 60 eval 'converged && [[ $(st_copies a) -eq 0 ]]' ||
                fail "the merged copy's removal did not reach both sides"
        else
            echo "try $try: $side merged nothing: $said"
        fi
    done
    fail "the vault did not settle"
}

for round in 1 2 3 4 5; do
    st_link paused
    for side in a b; do
        for ((k = RANDOM % 3; k >= 0; --k)); do
            read -r -a held <<<"$(st_users "$side")"
            st_change "$side" st_cli_add st_cli_remove "${held[@]}"
        done
        st_scan "$side"
    done
    st_link resumed
    # Sometimes one side opens the vault (and merges) before the other's
    # version has come: the copies meet in either order.
    if ((RANDOM % 2)); then
        said=$(printf 'pw 1234\n' | st_cli a list 2>&1 >/dev/null) ||
            fail "a could not open the vault as the link came back: $said"
    fi
    settle
    echo "ok: round $round settled with $(st_model | wc -w) entries"
done

for side in a b; do
    got=$(st_users "$side")
    [[ $got == "$(st_model)" ]] || fail "$side holds [$got], the model [$(st_model)]"
done
printf 'pw 1234\n' | "$SEAL" open "${ST_FOLDER[a]}/data.enc" >/dev/null ||
    fail "the vault is not sealed under its password"
echo "ok: both computers hold exactly the model's $(st_model | wc -w) entries"

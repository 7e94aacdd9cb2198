#!/usr/bin/env bash
# keynook-cli as git's merge driver, in a real repository with two clones:
# both change the vault through keynook-cli, and `git pull` merges the two
# with no conflict, keeping both sides' changes, in the plain and the sealed
# form. A master password changed on both sides is left as a conflict, with
# each side's vault whole.
#
# Usage: git_merge.sh <keynook-cli>
set -euo pipefail

CLI=$(realpath "${1:?usage: $0 <keynook-cli>}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-git.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" GIT_CONFIG_NOSYSTEM=1
export GIT_AUTHOR_NAME=Tester GIT_AUTHOR_EMAIL=tester@example.org
export GIT_COMMITTER_NAME=Tester GIT_COMMITTER_EMAIL=tester@example.org
mkdir -p "$HOME" "$XDG_CONFIG_HOME"

fail() {
    echo "FAIL ($FORM): $*" >&2
    exit 1
}

# Runs keynook-cli on the clone's vault with the master password $PW and
# further secrets as the lines after it.
cli() {
    local clone=$1
    shift
    printf '%s\n' "$PW" "${SECRETS[@]}" |
        "$CLI" --vault "$WORK/$clone/data.enc" --password-stdin "$@" 2>>"$WORK/cli.log"
}

usernames() {
    SECRETS=()
    cli "$1" list --format tsv | cut -f1 | tail -n +2 | sort | tr '\n' ' '
}

commit() {
    git -C "$WORK/$1" commit -qam "$2"
}

# The driver as the README has it; the master password of a sealed vault
# comes from standard input here, which git hands on to its driver.
clone() {
    git clone -q "$WORK/origin.git" "$WORK/$1" 2>/dev/null
    git -C "$WORK/$1" config merge.keynook.driver \
        "'$CLI' --password-stdin git-merge %O %A %B"
    git -C "$WORK/$1" config pull.rebase false
}

for FORM in plain sealed; do
    rm -rf "$WORK/origin.git" "$WORK/a" "$WORK/b"
    git init -q --bare --initial-branch=main "$WORK/origin.git"
    clone a
    PW='pw 1234'
    SECRETS=("$PW")
    cli a init
    for u in ann bob cid; do
        SECRETS=(secret)
        cli a add --username "$u" --location "$u.example.org"
    done
    if [[ $FORM == sealed ]]; then
        SECRETS=()
        cli a seal
    fi
    echo 'data.enc merge=keynook' >"$WORK/a/.gitattributes"
    git -C "$WORK/a" add .gitattributes data.enc
    commit a "a vault with three entries"
    git -C "$WORK/a" push -q origin main
    clone b

    # Each side adds one entry; a removes bob, b edits cid's password.
    SECRETS=(one)
    cli a add --username from-a
    SECRETS=()
    cli a remove bob --yes
    commit a "a: one added, bob removed"
    git -C "$WORK/a" push -q origin main
    SECRETS=(two)
    cli b add --username from-b
    SECRETS=(changed)
    cli b edit cid --password
    commit b "b: one added, cid's password changed"
    printf '%s\n' "$PW" | git -C "$WORK/b" pull -q origin main >"$WORK/pull.log" 2>&1 ||
        fail "git pull did not merge: $(cat "$WORK/pull.log")"
    [[ -z $(git -C "$WORK/b" status --porcelain) ]] || fail "the merge left changes uncommitted"
    [[ $(usernames b) == "ann cid from-a from-b " ]] ||
        fail "the merged vault holds $(usernames b)"
    SECRETS=()
    [[ $(cli b get cid --field password) == changed ]] || fail "cid's edit was lost"
    if [[ $FORM == sealed ]]; then
        head -c 9 "$WORK/b/data.enc" | od -An -tx1 | grep -q '80 4b 4e 53 45 41 4c 0d 00' ||
            fail "the merged vault is no longer sealed"
    fi

    # Both change the master password, each to another one: a conflict,
    # with b's vault as it was.
    git -C "$WORK/b" push -q origin main
    git -C "$WORK/a" pull -q origin main >/dev/null 2>&1 || fail "a could not take b's merge"
    SECRETS=('new a' 'new a')
    cli a passwd
    commit a "a: new master password"
    git -C "$WORK/a" push -q origin main
    SECRETS=('new b' 'new b')
    cli b passwd
    commit b "b: new master password"
    cp "$WORK/b/data.enc" "$WORK/b-before"
    if printf '%s\n' 'new b' | git -C "$WORK/b" pull -q origin main >"$WORK/pull.log" 2>&1; then
        fail "two new master passwords were merged"
    fi
    # A sealed base and their version are sealed under passwords b no longer
    # has: they do not open, which is said instead.
    why="each hold another master password"
    [[ $FORM == sealed ]] && why="the master password does not open it"
    grep -q "$why" "$WORK/pull.log" || fail "git did not show why: $(cat "$WORK/pull.log")"
    git -C "$WORK/b" status --porcelain | grep -q '^UU data.enc' || fail "no conflict on data.enc"
    cmp -s "$WORK/b/data.enc" "$WORK/b-before" || fail "b's vault changed in the conflict"
    PW='new b'
    [[ $(usernames b) == "ann cid from-a from-b " ]] || fail "b's vault lost entries"
    git -C "$WORK/b" show :3:data.enc >"$WORK/theirs.enc"
    cmp -s "$WORK/theirs.enc" "$WORK/a/data.enc" || fail "a's version is not kept for the user"
    git -C "$WORK/b" merge --abort
    echo "ok: $FORM vaults merge through git, and a double master change is a conflict"
done

# Without a terminal, or the password on standard input, a sealed vault's
# merge fails cleanly and changes nothing.
cp "$WORK/b/data.enc" "$WORK/ours.enc"
if setsid "$CLI" git-merge "$WORK/ours.enc" "$WORK/ours.enc" "$WORK/theirs.enc" \
    </dev/null >"$WORK/out.log" 2>&1; then
    FORM=sealed fail "a sealed merge without a terminal succeeded"
fi
grep -q "no terminal" "$WORK/out.log" || FORM=sealed fail "no reason given: $(cat "$WORK/out.log")"
cmp -s "$WORK/ours.enc" "$WORK/b/data.enc" || FORM=sealed fail "ours changed"
echo "ok: without a terminal a sealed merge fails and writes nothing"

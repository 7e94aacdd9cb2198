#!/usr/bin/env bash
# keynook-cli's shell completions: the files the build wrote are what the
# program prints, and each loads in its shell and offers every command that
# --help lists, an option's values and file names. zsh and fish are checked
# where they are installed; zsh's completion system is stood in for by
# functions that print what they are handed.
#   completion.sh <keynook-cli> <folder the build wrote the completions to>
set -euo pipefail

cli=${1:?usage: $0 <keynook-cli> <completions folder>}
written=${2:?usage: $0 <keynook-cli> <completions folder>}
work=$(mktemp -d "${TMPDIR:-/tmp}/keynook-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
touch exported.csv

failed=0
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failed=1
}
# Every word of $2 is among the lines of $3.
offers() {
    local what=$1 word
    for word in $2; do
        grep -qxF -- "$word" <<<"$3" || fail "$what does not offer $word: [$3]"
    done
}

commands=$("$cli" --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
[[ $(wc -w <<<"$commands") -ge 20 ]] || fail "--help lists too few commands: $commands"

for shell in bash zsh fish; do
    name=$(case $shell in bash) echo keynook-cli.bash ;; zsh) echo _keynook-cli ;; fish) echo keynook-cli.fish ;; esac)
    cmp -s <("$cli" completion "$shell") "$written/$name" ||
        fail "$written/$name is not what \`keynook-cli completion $shell\` prints"
done

# bash: COMP_WORDS as the shell sets them for the word being completed.
complete_bash() {
    bash --norc --noprofile -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _keynook_cli; printf "%s\n" "${COMPREPLY[@]}"' bash "$written/keynook-cli.bash" "$@"
}
bash --norc --noprofile -c 'source "$1" && complete -p keynook-cli' bash "$written/keynook-cli.bash" |
    grep -q '^complete -F _keynook_cli keynook-cli$' || fail "bash: keynook-cli has no completion"
offers "bash, the commands" "$commands" "$(complete_bash keynook-cli '')"
offers "bash, after --vault" "list" "$(complete_bash keynook-cli --vault v.enc li)"
offers "bash, --sort" "username password location" "$(complete_bash keynook-cli list --sort '')"
offers "bash, list's options" "--sort --show-passwords --vault" "$(complete_bash keynook-cli list --)"
offers "bash, import's file" "exported.csv" "$(complete_bash keynook-cli import ex)"

if command -v zsh >/dev/null; then
    complete_zsh() {
        zsh -f -c 'compdef() { print -r -- "compdef $*" }
            _describe() { print -rl -- ${(P)${@[-1]}} }
            compadd() { shift; print -rl -- "$@" }
            _files() { print -r -- "(files)" }
            source "$1"; shift; words=("$@"); CURRENT=$#; _keynook-cli' zsh "$written/_keynook-cli" "$@"
    }
    [[ $(complete_zsh keynook-cli '' | head -n1) == "compdef _keynook-cli keynook-cli" ]] ||
        fail "zsh: sourcing does not register the completion"
    offers "zsh, the commands" "$commands" "$(complete_zsh keynook-cli '' | sed -n 's/:.*//p')"
    offers "zsh, --format" "table tsv json" "$(complete_zsh keynook-cli list --format '')"
    offers "zsh, import's file" "(files)" "$(complete_zsh keynook-cli import '')"
else
    echo "zsh is not installed: its completion was not loaded"
fi

if command -v fish >/dev/null; then
    complete_fish() {
        fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$written/keynook-cli.fish" "$1" |
            cut -f1
    }
    offers "fish, the commands" "$commands" "$(complete_fish 'keynook-cli ')"
    offers "fish, after --vault" "username password location" \
        "$(complete_fish 'keynook-cli --vault v.enc list --sort ')"
    offers "fish, import's file" "exported.csv" "$(complete_fish 'keynook-cli import ex')"
    # Each layout with a description of its own, not the option's first line.
    layouts=$(fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$written/keynook-cli.fish" \
        'keynook-cli export x.csv --layout ')
    [[ $(cut -f1 <<<"$layouts" | sort -u | wc -l) -ge 7 &&
        $(cut -f2 <<<"$layouts" | sort -u | wc -l) == $(cut -f1 <<<"$layouts" | sort -u | wc -l) ]] ||
        { echo "fish: the layouts' descriptions: $layouts"; failed=1; }
else
    echo "fish is not installed: its completion was not loaded"
fi

if [[ $failed -ne 0 ]]; then
    exit 1
fi
echo "the completions offer every command"

#!/usr/bin/env bash
# keynook-cli's export and import as a person runs them, end to end, on a
# vault of the same 100,000 entries as the other benchmarks (written by
# make_bench_vault), the master password on standard input:
#   - export FILE: the process start, the lock, the master password checked,
#     the vault loaded, the CSV made and written to a new file and synced;
#   - import FILE: that CSV into an empty vault: the process start, the file
#     read and judged, the lock, the empty vault loaded, the check for
#     entries already there, and the one save. The vault it makes must be
#     the one the CSV came from, byte for byte.
# Both are run on a vault of no entries too (the import with the header-only
# CSV that its export writes): what a command costs before there is anything
# to move.
#
# Usage: cli_interchange.sh <keynook-cli> <make_bench_vault> <runs> <results file>
# The results file gets one "name=value" line per figure (medians over the
# runs); progress goes to stderr.

set -u

CLI=${1:?usage: $0 <keynook-cli> <make_bench_vault> <runs> <results file>}
MAKE_VAULT=${2:?}
RUNS=${3:?}
RESULTS=${4:?}

ENTRIES=100000
PASSWORD='Correct horse 42'

say() { printf '[cli] %s\n' "$*" >&2; }
fail() {
    say "FAIL: $*"
    [[ -s "${LOG:-}" ]] && sed 's/^/    /' "$LOG" | tail -n 20 >&2
    exit 1
}

[[ -x "$CLI" ]] || {
    say "skipped: keynook-cli is not built"
    printf 'cli_skipped=keynook-cli is not built\n' >"$RESULTS"
    exit 0
}

# On the build folder's disk (run-benchmarks points TMPDIR there): a
# memory-backed /tmp would make every fsync free.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-cli.XXXXXX") || fail "mktemp failed"
trap 'rm -rf "$WORK"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
LOG="$WORK/cli.log"

VAULT="$WORK/full/data.enc"
EMPTY="$WORK/empty/data.enc"
mkdir -m 0700 "$WORK/full" "$WORK/empty" "$WORK/import" "$WORK/out" || fail "cannot make folders"
"$MAKE_VAULT" "$ENTRIES" "$PASSWORD" "$VAULT" || fail "cannot write the vault"
"$MAKE_VAULT" 0 "$PASSWORD" "$EMPTY" || fail "cannot write the empty vault"

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) exit; if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ms_since() {
    echo $((($(date +%s%N) - $1) / 1000000))
}

# keynook-cli export of vault $1 to the new file $2; prints the milliseconds.
export_ms() {
    local vault=$1 out=$2 start
    rm -f "$out"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        "$CLI" --vault "$vault" --password-stdin export "$out" 2>"$LOG" ||
        fail "keynook-cli export failed"
    ms_since "$start"
    [[ -s "$out" ]] || fail "keynook-cli export wrote nothing"
}

# keynook-cli import of the file $1 into a fresh copy of the empty vault;
# prints the milliseconds. The vault it made is left as $WORK/import/data.enc.
import_ms() {
    local csv=$1 vault="$WORK/import/data.enc" start
    rm -f "$WORK"/import/* "$WORK"/import/.[!.]*
    cp "$EMPTY" "$vault" || fail "cannot copy the empty vault"
    start=$(date +%s%N)
    printf '%s\n' "$PASSWORD" |
        "$CLI" --vault "$vault" --password-stdin import "$csv" 2>"$LOG" ||
        fail "keynook-cli import failed"
    ms_since "$start"
}

for ((r = 1; r <= RUNS; r++)); do
    export_ms "$VAULT" "$WORK/out/entries.csv" >>"$WORK/export"
    export_ms "$EMPTY" "$WORK/out/none.csv" >>"$WORK/export-empty"
    import_ms "$WORK/out/entries.csv" >>"$WORK/import-times"
    cmp -s "$WORK/import/data.enc" "$VAULT" ||
        fail "the vault imported from the export is not the vault exported"
    import_ms "$WORK/out/none.csv" >>"$WORK/import-empty"
    cmp -s "$WORK/import/data.enc" "$EMPTY" ||
        fail "an import of no entries changed the empty vault"
    say "run $r/$RUNS: export $(tail -n1 "$WORK/export") ms, of none $(tail -n1 "$WORK/export-empty") ms;" \
        "import $(tail -n1 "$WORK/import-times") ms, of none $(tail -n1 "$WORK/import-empty") ms"
done

{
    printf 'cli_runs=%s\n' "$RUNS"
    printf 'cli_entries=%s\n' "$ENTRIES"
    printf 'cli_vault_bytes=%s\n' "$(stat -c %s "$VAULT")"
    printf 'cli_csv_bytes=%s\n' "$(stat -c %s "$WORK/out/entries.csv")"
    printf 'cli_export_ms=%s\n' "$(median <"$WORK/export")"
    printf 'cli_export_empty_ms=%s\n' "$(median <"$WORK/export-empty")"
    printf 'cli_import_ms=%s\n' "$(median <"$WORK/import-times")"
    printf 'cli_import_empty_ms=%s\n' "$(median <"$WORK/import-empty")"
} >"$RESULTS"

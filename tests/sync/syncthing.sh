#!/usr/bin/env bash
# Two real Syncthing instances on this machine (127.0.0.1 only, discovery and
# relays off) share the folder a vault lives in. Both computers change the
# vault while the link is paused, so that Syncthing keeps one version and
# renames the other into a conflict copy; keynook-cli then merges the copy
# when it opens the vault, with both changes kept, and its removal reaches
# the other instance.
#
# Usage: syncthing.sh <keynook-cli>
set -euo pipefail

CLI=$(realpath "${1:?usage: $0 <keynook-cli>}")
command -v syncthing >/dev/null || { echo "SKIP: syncthing is not installed"; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-syncthing.XXXXXX")
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for side in a b; do
        echo "--- $side: $(ls -A "$WORK/$side/folder" 2>/dev/null | tr '\n' ' ')" >&2
    done
    exit 1
}

# Polls "$@" every 0.2 s for at most $1 seconds.
within() {
    local secs=$1 deadline
    shift
    deadline=$((SECONDS + secs))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}

# A free TCP port on 127.0.0.1.
free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 50); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    return 1
}

declare -A ID KEY GUI
for side in a b; do
    home="$WORK/$side/home"
    syncthing generate --home "$home" --no-default-folder >/dev/null 2>&1
    ID[$side]=$(syncthing --home "$home" --device-id)
    KEY[$side]=$(sed -n 's:.*<apikey>\(.*\)</apikey>.*:\1:p' "$home/config.xml")
    GUI[$side]="127.0.0.1:$(free_port)"
    LISTEN="tcp://127.0.0.1:$(free_port)"
    eval "LISTEN_$side=$LISTEN"
    sed -i -e "s|<address>127.0.0.1:8384</address>|<address>${GUI[$side]}</address>|" \
        -e "s|<listenAddress>default</listenAddress>|<listenAddress>$LISTEN</listenAddress>|" \
        -e "s|<globalAnnounceEnabled>true|<globalAnnounceEnabled>false|" \
        -e "s|<localAnnounceEnabled>true|<localAnnounceEnabled>false|" \
        -e "s|<relaysEnabled>true|<relaysEnabled>false|" \
        -e "s|<natEnabled>true|<natEnabled>false|" \
        -e "s|<reconnectionIntervalS>60|<reconnectionIntervalS>1|" \
        -e "s|<urAccepted>0|<urAccepted>-1|" \
        -e "s|<crashReportingEnabled>true|<crashReportingEnabled>false|" \
        -e "s|<autoUpgradeIntervalH>12|<autoUpgradeIntervalH>0|" \
        "$home/config.xml"
    mkdir -p "$WORK/$side/folder" "$WORK/$side/data"
    STNODEFAULTFOLDER=1 syncthing serve --home "$home" --no-browser --no-restart \
        >"$WORK/$side/syncthing.log" 2>&1 &
    PIDS+=($!)
done

api() { # side method path [json]
    curl -sf -X "$2" -H "X-API-Key: ${KEY[$1]}" -H 'Content-Type: application/json' \
        ${4:+-d "$4"} "http://${GUI[$1]}$3"
}
for side in a b; do
    within 30 api "$side" GET /rest/system/ping >/dev/null || fail "syncthing $side did not start"
done
for side in a b; do
    other=$([[ $side == a ]] && echo b || echo a)
    eval "other_listen=\$LISTEN_$other"
    api "$side" POST /rest/config/devices \
        "{\"deviceID\":\"${ID[$other]}\",\"addresses\":[\"$other_listen\"]}" >/dev/null
    api "$side" POST /rest/config/folders \
        "{\"id\":\"vault\",\"label\":\"vault\",\"path\":\"$WORK/$side/folder\",
          \"devices\":[{\"deviceID\":\"${ID[a]}\"},{\"deviceID\":\"${ID[b]}\"}],
          \"rescanIntervalS\":1,\"fsWatcherEnabled\":false}" >/dev/null
done

# keynook-cli on one side's vault, its data folder that side's own.
cli() { # side args... (secrets on standard input)
    local side=$1
    shift
    XDG_DATA_HOME="$WORK/$side/data" HOME="$WORK/$side" \
        "$CLI" --vault "$WORK/$side/folder/data.enc" --password-stdin "$@"
}
users() {
    printf 'pw 1234\n' | cli "$1" list --format tsv 2>/dev/null | cut -f1 | tail -n +2 | sort | tr '\n' ' '
}
same_vault() { cmp -s "$WORK/a/folder/data.enc" "$WORK/b/folder/data.enc"; }

printf 'pw 1234\npw 1234\n' | cli a init 2>/dev/null
printf 'pw 1234\nx\n' | cli a add --username ann 2>/dev/null
within 60 same_vault || fail "the vault did not reach b"
[[ $(users b) == "ann " ]] || fail "b reads $(users b)"
echo "ok: the vault made on a reached b"

# Both change it while they cannot reach each other.
for side in a b; do
    other=$([[ $side == a ]] && echo b || echo a)
    api "$side" PATCH "/rest/config/devices/${ID[$other]}" '{"paused":true}' >/dev/null
done
printf 'pw 1234\nx\n' | cli a add --username from-a 2>/dev/null
printf 'pw 1234\nx\n' | cli b add --username from-b 2>/dev/null
for side in a b; do
    other=$([[ $side == a ]] && echo b || echo a)
    api "$side" PATCH "/rest/config/devices/${ID[$other]}" '{"paused":false}' >/dev/null
done
copies() { ls "$WORK/$1/folder" | grep -c '^data\.sync-conflict-.*\.enc$'; }
both_have_copy() { [[ $(copies a) -ge 1 && $(copies b) -ge 1 ]] && same_vault; }
within 90 both_have_copy || fail "no conflict copy on both sides"
echo "ok: Syncthing kept one version and a conflict copy on both sides"

# Either side's keynook-cli merges the copy when it opens the vault.
out=$(printf 'pw 1234\n' | cli b list --format tsv 2>&1 >/dev/null)
grep -q "Merged the Syncthing conflict copy" <<<"$out" || fail "b merged nothing: $out"
[[ $(users b) == "ann from-a from-b " ]] || fail "b's merge holds $(users b)"
[[ $(copies b) -eq 0 ]] || fail "the copy is still on b"
no_copy_on_a() { [[ $(copies a) -eq 0 ]] && same_vault; }
within 60 no_copy_on_a || fail "the merge and the copy's removal did not reach a"
[[ $(users a) == "ann from-a from-b " ]] || fail "a reads $(users a)"
echo "ok: the conflict copy was merged, and its removal and the merge reached the other side"

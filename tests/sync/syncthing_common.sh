# shellcheck shell=bash
# Shared part of the scripts that run two real Syncthing instances, a and b,
# on this machine: 127.0.0.1 only, discovery, relays and NAT traversal off,
# each with its own home and one folder, "vault", shared between them.
#
# Sourced, not run. The sourcing script defines fail (message and exit 1),
# then calls
#   st_start <root folder>
# which makes <root>/a and <root>/b, starts both instances, pairs them and
# shares <root>/a/folder with <root>/b/folder. Afterwards ST_FOLDER[a] and
# ST_FOLDER[b] name the two folders; st_stop ends both instances (the caller
# runs it at exit).
#
# A folder is scanned only when the script asks (st_scan), never on a timer
# or a file system watch, so that nothing reaches the other side before the
# script has made every change it wants to make. Waiting is for real
# conditions, polled with a deadline (within).

command -v syncthing >/dev/null || {
    echo "SKIP: syncthing is not installed"
    exit 77
}
command -v curl >/dev/null || {
    echo "SKIP: curl is not installed"
    exit 77
}

ST_PIDS=()
declare -A ST_ID ST_KEY ST_GUI ST_LISTEN ST_FOLDER

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
st_free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 50); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    return 1
}

st_other() { [[ $1 == a ]] && echo b || echo a; }

# st_api side method path [json]: one call to that side's REST interface.
st_api() {
    curl -sf -X "$2" -H "X-API-Key: ${ST_KEY[$1]}" -H 'Content-Type: application/json' \
        ${4:+-d "$4"} "http://${ST_GUI[$1]}$3"
}

st_start() {
    local root=$1 side home other
    for side in a b; do
        home="$root/$side/home"
        syncthing generate --home "$home" --no-default-folder >/dev/null 2>&1 ||
            fail "syncthing generate failed for $side"
        ST_ID[$side]=$(syncthing --home "$home" --device-id)
        ST_KEY[$side]=$(sed -n 's:.*<apikey>\(.*\)</apikey>.*:\1:p' "$home/config.xml")
        ST_GUI[$side]="127.0.0.1:$(st_free_port)"
        ST_LISTEN[$side]="tcp://127.0.0.1:$(st_free_port)"
        ST_FOLDER[$side]="$root/$side/folder"
        # Set before the first start: a running instance would write its
        # defaults back. A short reconnection interval, or a resumed link
        # takes up to a minute to come back.
        sed -i -e "s|<address>127.0.0.1:8384</address>|<address>${ST_GUI[$side]}</address>|" \
            -e "s|<listenAddress>default</listenAddress>|<listenAddress>${ST_LISTEN[$side]}</listenAddress>|" \
            -e "s|<globalAnnounceEnabled>true|<globalAnnounceEnabled>false|" \
            -e "s|<localAnnounceEnabled>true|<localAnnounceEnabled>false|" \
            -e "s|<relaysEnabled>true|<relaysEnabled>false|" \
            -e "s|<natEnabled>true|<natEnabled>false|" \
            -e "s|<reconnectionIntervalS>60|<reconnectionIntervalS>1|" \
            -e "s|<urAccepted>0|<urAccepted>-1|" \
            -e "s|<crashReportingEnabled>true|<crashReportingEnabled>false|" \
            -e "s|<autoUpgradeIntervalH>12|<autoUpgradeIntervalH>0|" \
            "$home/config.xml"
        mkdir -p "${ST_FOLDER[$side]}"
        STNODEFAULTFOLDER=1 syncthing serve --home "$home" --no-browser --no-restart \
            >"$root/$side/syncthing.log" 2>&1 &
        ST_PIDS+=($!)
    done
    for side in a b; do
        within 30 st_api "$side" GET /rest/system/ping >/dev/null ||
            fail "syncthing $side did not start"
    done
    for side in a b; do
        other=$(st_other "$side")
        st_api "$side" POST /rest/config/devices \
            "{\"deviceID\":\"${ST_ID[$other]}\",\"addresses\":[\"${ST_LISTEN[$other]}\"]}" \
            >/dev/null || fail "syncthing $side did not take the other device"
        st_api "$side" POST /rest/config/folders \
            "{\"id\":\"vault\",\"label\":\"vault\",\"path\":\"${ST_FOLDER[$side]}\",
              \"devices\":[{\"deviceID\":\"${ST_ID[a]}\"},{\"deviceID\":\"${ST_ID[b]}\"}],
              \"rescanIntervalS\":86400,\"fsWatcherEnabled\":false}" >/dev/null ||
            fail "syncthing $side did not take the folder"
    done
}

st_stop() {
    local pid
    for pid in "${ST_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${ST_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    ST_PIDS=()
}

# Scans one side's folder now; the call returns when the scan is done, and
# what it found then goes to the other side while they are connected.
st_scan() {
    st_api "$1" POST "/rest/db/scan?folder=vault" >/dev/null || fail "syncthing $1 could not scan"
}

# Whether side $1 is connected to the other side now.
st_connected() {
    st_api "$1" GET /rest/system/connections | grep -q '"connected": *true'
}

# st_link paused|resumed: both sides pause (or resume) the other device, and
# the call returns once the link is down (or up) on both.
st_link() {
    local side paused=false
    [[ $1 == paused ]] && paused=true
    for side in a b; do
        st_api "$side" PATCH "/rest/config/devices/${ST_ID[$(st_other "$side")]}" \
            "{\"paused\":$paused}" >/dev/null || fail "syncthing $side did not take paused=$paused"
    done
    for side in a b; do
        if $paused; then
            within 30 eval "! st_connected $side" || fail "syncthing $side is still connected"
        else
            within 60 st_connected "$side" || fail "syncthing $side did not connect again"
        fi
    done
}

# The vault's conflict copies in side $1's folder, one name a line.
st_conflict_copies() {
    local file
    for file in "${ST_FOLDER[$1]}"/data.sync-conflict-*.enc; do
        [[ -e $file ]] && printf '%s\n' "${file##*/}"
    done
    return 0
}

st_same_vault() { cmp -s "${ST_FOLDER[a]}/data.enc" "${ST_FOLDER[b]}/data.enc"; }

# What is in both folders, for a failure message.
st_listing() {
    local side
    for side in a b; do
        echo "--- $side: $(ls -A "${ST_FOLDER[$side]}" 2>/dev/null | tr '\n' ' ')"
    done
}

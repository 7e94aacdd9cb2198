# shellcheck shell=bash
# Shared part of the scripts that run two real Syncthing instances, a and b,
# on this machine: 127.0.0.1 only, discovery, relays and NAT traversal off,
# each with its own home and one folder, "vault", shared between them.
#
# Sourced, not run. A script that runs no window calls
#   st_run_alone <name>
# which makes a private temporary folder and settings (HOME, XDG_*), starts
# both instances there and ends them and removes the folder at exit. A
# script that runs the window sources e2e_common.sh first (its fail, its
# private folder, settings and X server) and calls st_beside_window, which
# starts the instances in $WORK/sync and ends them before the X server goes.
# Either way ST_FOLDER[a] and ST_FOLDER[b] then name the two shared folders,
# ST_HOME and ST_DATA each side's home and data folder, and st_cli runs
# keynook-cli ($ST_CLI) on one side's vault, opened with $ST_PASSWORD.
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

# A script that defines no fail of its own (one that runs no window) has
# this one: the folders' listing says most about a sync that went wrong.
if ! declare -F fail >/dev/null; then
    fail() {
        echo "FAIL: $*" >&2
        st_listing >&2
        exit 1
    }
fi

ST_PIDS=()
declare -A ST_ID ST_KEY ST_GUI ST_LISTEN ST_FOLDER ST_HOME ST_DATA ST_PID ST_LOG
ST_CLI=""
ST_PASSWORD=""

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

# A free TCP port on 127.0.0.1 in ST_PORT, one no other call gave: the
# instances bind theirs only once all four are chosen. It is below the
# system's range for outgoing connections, where every curl call and every
# connection between the instances takes a port for a while: runs side by
# side found theirs taken by the time their instance bound it.
ST_PORTS=" "
st_free_port() {
    local port low=32768
    read -r low _ 2>/dev/null </proc/sys/net/ipv4/ip_local_port_range || true
    ((low > 12000)) || fail "no room below the range for outgoing ports, which starts at $low"
    for port in $(shuf -i 10000-$((low - 1)) -n 50); do
        [[ $ST_PORTS != *" $port "* ]] || continue
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            ST_PORTS+="$port "
            ST_PORT=$port
            return 0
        fi
    done
    fail "found no free port on 127.0.0.1"
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
        st_free_port
        ST_GUI[$side]="127.0.0.1:$ST_PORT"
        st_free_port
        ST_LISTEN[$side]="tcp://127.0.0.1:$ST_PORT"
        ST_FOLDER[$side]="$root/$side/folder"
        ST_HOME[$side]="$root/$side"
        ST_DATA[$side]="$root/$side/data"
        ST_LOG[$side]="$root/$side/syncthing.log"
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
            >"${ST_LOG[$side]}" 2>&1 &
        ST_PIDS+=($!)
        ST_PID[$side]=$!
    done
    for side in a b; do
        within 30 st_answers "$side" ||
            fail "syncthing $side did not answer within 30 s: $(tail -n 20 "${ST_LOG[$side]}")"
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

# A run with no window: a private folder and settings, both instances
# started in it, and all of it gone at exit. WORK names the folder.
st_run_alone() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-$1.XXXXXX") || fail "mktemp failed"
    trap 'st_stop; rm -rf "$WORK"' EXIT
    # These scripts stop at the first command that fails (set -e); this says
    # which, where it would otherwise end the run without a word.
    set -E
    trap 'fail "line $LINENO of ${BASH_SOURCE[0]##*/}: a command failed (status $?)"' ERR
    # Nothing a program of the run reads or writes is outside WORK: not
    # the settings of whoever runs the tests, nor another test's.
    export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" \
        XDG_CACHE_HOME="$WORK/cache" XDG_STATE_HOME="$WORK/state" XDG_RUNTIME_DIR="$WORK/runtime"
    unset KEYNOOK_VAULT
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" || fail "cannot create the folders in $WORK"
    chmod 0700 "$XDG_RUNTIME_DIR" || fail "cannot make $XDG_RUNTIME_DIR private"
    st_start "$WORK"
}

# A run with the window (after e2e_setup): both instances in $WORK/sync,
# ended at exit before the X server goes. The window is a's computer, so
# a's keynook-cli shares its home and data folder: the states of the vault
# that computer saw, and its replica ids.
st_beside_window() {
    E2E_AT_EXIT+=(st_stop)
    st_start "$WORK/sync"
    ST_HOME[a]=$HOME
    ST_DATA[a]=$XDG_DATA_HOME
}

# Whether side $1's instance answers on its REST interface; fails the test
# at once when it has ended (a port taken meanwhile, say), with its log.
st_answers() {
    kill -0 "${ST_PID[$1]}" 2>/dev/null ||
        fail "syncthing $1 ended as it started: $(tail -n 20 "${ST_LOG[$1]}")"
    st_api "$1" GET /rest/system/ping >/dev/null
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

# ---------------------------------------------------------------------------
# keynook-cli on either side.

# st_cli side args...: keynook-cli on that side's vault with that side's
# home and data folder; secrets (the password first) on standard input.
st_cli() {
    local side=$1
    shift
    XDG_DATA_HOME="${ST_DATA[$side]}" HOME="${ST_HOME[$side]}" \
        "$ST_CLI" --vault "${ST_FOLDER[$side]}/data.enc" --password-stdin "$@"
}

# The usernames side $1's vault holds, sorted, each followed by a space.
st_users() {
    printf '%s\n' "$ST_PASSWORD" | st_cli "$1" list --format tsv 2>/dev/null |
        tail -n +2 | cut -f1 | sort | tr '\n' ' '
}

# How many conflict copies of the vault side $1's folder holds.
st_copies() { st_conflict_copies "$1" | grep -c . || true; }

# ---------------------------------------------------------------------------
# Runs that change the vault at random and hold both sides to a model.

# The random start: KEYNOOK_TEST_SEED when set, else the time; printed first, so
# that a failing run can be repeated.
st_seed() {
    ST_SEED=${KEYNOOK_TEST_SEED:-$(date +%s)}
    RANDOM=$ST_SEED
    echo "random start $ST_SEED (KEYNOOK_TEST_SEED=$ST_SEED repeats this run)"
}

# The usernames that were added and not removed since, as st_users gives
# them.
declare -A ST_MODEL=()
st_model() { printf '%s\n' "${!ST_MODEL[@]}" | grep . | sort | tr '\n' ' ' || true; }

# st_change <side> <adder> <remover> [usernames the side holds...]: one
# random change, told to the model: one time in three the removal of one of
# the usernames given (when there are any), else a new entry, named after
# the side and a count that no name of the run repeats. <adder> and
# <remover> make it (side, username) and fail the test when they cannot.
ST_NEXT=0
st_change() {
    local side=$1 adder=$2 remover=$3 name
    shift 3
    if (($# > 0 && RANDOM % 3 == 0)); then
        local held=("$@")
        name=${held[RANDOM % $#]}
        "$remover" "$side" "$name"
        unset "ST_MODEL[$name]"
    else
        name="$side$ST_NEXT"
        ST_NEXT=$((ST_NEXT + 1))
        "$adder" "$side" "$name"
        ST_MODEL[$name]=1
    fi
}

# A change made with keynook-cli.
st_cli_add() {
    local said
    said=$(printf '%s\nx\n' "$ST_PASSWORD" | st_cli "$1" add --username "$2" 2>&1) ||
        fail "keynook-cli on $1 could not add $2: $said"
}
st_cli_remove() {
    local said
    said=$(printf '%s\n' "$ST_PASSWORD" | st_cli "$1" remove "$2" --exact --yes 2>&1) ||
        fail "keynook-cli on $1 could not remove $2: $said"
}

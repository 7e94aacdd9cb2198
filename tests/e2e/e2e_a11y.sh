# shellcheck shell=bash disable=SC2034 # A11Y_WINDOW is for the sourcing scripts
# Reading what the program's windows show through their accessibility tree
# (AT-SPI over D-Bus), as a screen reader reads them: the text of a label,
# the cells of a list. Reading this way clicks and types nothing, so a test
# can check what a window shows by itself, with no input at all.
#
# Sourced after e2e_common.sh. a11y_setup, called after e2e_setup and before
# the program starts, starts a private session bus and has it start the
# accessibility bus as a desktop session would (at-spi-bus-launcher); Qt
# publishes a program's tree there when QT_LINUX_ACCESSIBILITY_ALWAYS_ON is
# set, with no screen reader running. Everything goes at exit.
#
# The text of a name is read from dbus-send's literal output, which pads it
# on the left: a name's own leading spaces do not survive. The names these
# tests read have none.

A11Y_LAUNCHER=/usr/libexec/at-spi-bus-launcher
A11Y_ROOT=/org/a11y/atspi/accessible/root
A11Y_BUS=""
A11Y_SESSION_PID=""
# Processes the buses started for the run (the launcher, the registry),
# made sure of at exit.
A11Y_STARTED=()
# The running program's name on the accessibility bus, and its process.
A11Y_APP=""
A11Y_APP_PID=""

a11y_setup() {
    require_tools dbus-daemon dbus-send "$A11Y_LAUNCHER"
    local file="$WORK/session-bus"
    # The helpers it starts inherit its output: a log, not the test's.
    dbus-daemon --session --nofork --nopidfile --print-address=3 \
        3>"$file" >"$WORK/session-bus.log" 2>&1 &
    A11Y_SESSION_PID=$!
    E2E_AT_EXIT+=(a11y_stop)
    poll 100 0.1 test -s "$file" || fail "the session bus did not start: $(cat "$WORK/session-bus.log")"
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$file")
    export DBUS_SESSION_BUS_ADDRESS
    # Asking for the address starts the accessibility bus.
    A11Y_BUS=$(dbus-send --session --print-reply=literal --reply-timeout=10000 \
        --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress) ||
        fail "the accessibility bus did not start"
    A11Y_BUS=${A11Y_BUS##* }
    A11Y_STARTED+=("$(a11y_pid_of --session org.a11y.Bus)")
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
    log "accessibility bus at $A11Y_BUS"
}

# a11y_pid_of <dbus-send bus option> <name>: the process that owns a name.
a11y_pid_of() {
    dbus-send "$1" --print-reply=literal --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetConnectionUnixProcessID "string:$2" 2>/dev/null |
        awk '{ print $2 }'
}

# Alive and not a zombie: the buses' helpers are not children of this
# script, and whoever took them over may leave them unreaped.
a11y_alive() {
    [[ -r "/proc/$1/stat" ]] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat"
}

a11y_stop() {
    local pid
    if [[ -n "$A11Y_SESSION_PID" ]]; then
        kill "$A11Y_SESSION_PID" 2>/dev/null
        wait "$A11Y_SESSION_PID" 2>/dev/null
    fi
    # The launcher, its bus and the registry end with the session bus; any
    # still there after two seconds is ended here.
    for pid in "${A11Y_STARTED[@]}"; do
        [[ -n "$pid" ]] || continue
        poll 20 0.1 eval "! a11y_alive $pid" || kill "$pid" 2>/dev/null
    done
}

# a11y_call <object path> <interface.method> [args]: one call to the program.
a11y_call() {
    local path=$1
    shift
    dbus-send --bus="$A11Y_BUS" --print-reply=literal --reply-timeout=5000 \
        --dest="$A11Y_APP" "$path" "$@" 2>/dev/null
}

a11y_children() {
    a11y_call "$1" org.a11y.atspi.Accessible.GetChildren |
        grep -o '/org/a11y/atspi/accessible/[0-9]*'
}

a11y_name() {
    local out
    out=$(a11y_call "$1" org.freedesktop.DBus.Properties.Get \
        string:org.a11y.atspi.Accessible string:Name) || return 1
    printf '%s' "$out" | sed '1s/^ *variant *//'
}

a11y_role() {
    a11y_call "$1" org.a11y.atspi.Accessible.GetRoleName | sed 's/^ *//'
}

# a11y_find <object path> <role> [name]: the first object at or below the
# path, depth first, with that role (and that name, when one is given).
a11y_find() {
    local path=$1 role=$2 child
    if [[ $(a11y_role "$path") == "$role" ]] && { (($# < 3)) || [[ $(a11y_name "$path") == "$3" ]]; }; then
        printf '%s\n' "$path"
        return 0
    fi
    for child in $(a11y_children "$path"); do
        a11y_find "$child" "${@:2}" && return 0
    done
    return 1
}

# Finds the running program (APP_PID) on the accessibility bus, once it has
# published its tree, and records the registry the bus started for it.
a11y_app_now() {
    local name
    [[ "$A11Y_APP_PID" == "$APP_PID" ]] && return 0
    for name in $(dbus-send --bus="$A11Y_BUS" --print-reply=literal --dest=org.freedesktop.DBus \
        / org.freedesktop.DBus.ListNames 2>/dev/null | grep -o ':[0-9.]*'); do
        [[ $(a11y_pid_of --bus="$A11Y_BUS" "$name") == "$APP_PID" ]] || continue
        A11Y_APP=$name
        a11y_call "$A11Y_ROOT" org.a11y.atspi.Accessible.GetChildren >/dev/null || return 1
        A11Y_APP_PID=$APP_PID
        A11Y_STARTED+=("$(a11y_pid_of --bus="$A11Y_BUS" org.a11y.atspi.Registry)")
        return 0
    done
    return 1
}

# Sets A11Y_WINDOW to the object of the program's top-level window titled
# $1 (exactly), waiting up to $2 seconds for it. (Not run in a subshell: the
# program's name on the bus is kept here.)
A11Y_WINDOW=""
a11y_window() {
    local title=$1 deadline=$((SECONDS + $2))
    until a11y_app_now && A11Y_WINDOW=$(a11y_find "$A11Y_ROOT" frame "$title"); do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# The text of the status line of the window object $1.
a11y_status_text() {
    local bar label
    bar=$(a11y_find "$1" "status bar") && label=$(a11y_find "$bar" label) || return 1
    a11y_name "$label"
}

# The rows of the first list (a tree or a table) in the window object $1,
# one line each, its cells joined by tabs; only the first $2 columns when $2
# is given (each cell read is two calls, and a long list takes a while).
a11y_list_rows() {
    local list rows cols r c line cell
    list=$(a11y_find "$1" tree) || list=$(a11y_find "$1" table) || return 1
    rows=$(a11y_call "$list" org.freedesktop.DBus.Properties.Get \
        string:org.a11y.atspi.Table string:NRows | awk '{ print $NF }') || return 1
    cols=$(a11y_call "$list" org.freedesktop.DBus.Properties.Get \
        string:org.a11y.atspi.Table string:NColumns | awk '{ print $NF }') || return 1
    if (($# > 1)) && (($2 < cols)); then cols=$2; fi
    for ((r = 0; r < rows; r++)); do
        line=""
        for ((c = 0; c < cols; c++)); do
            cell=$(a11y_call "$list" org.a11y.atspi.Table.GetAccessibleAt "int32:$r" "int32:$c" |
                grep -o '/org/a11y/atspi/accessible/[0-9]*') || return 1
            ((c == 0)) || line+=$'\t'
            line+=$(a11y_name "$cell") || return 1
        done
        printf '%s\n' "$line"
    done
}

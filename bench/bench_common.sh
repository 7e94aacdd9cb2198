# Shared by the benchmark scripts that run real windows: a private X server
# and the peak memory of a process. The script that sources this defines
# `fail` and keeps WORK (its temporary folder) and XVFB_PID for its clean-up.

# Starts Xvfb on a display it picks itself (so runs never collide), with a
# black root (-br): a window that is mapped but not painted yet shows black,
# never something that looks like a painted list. Exports DISPLAY.
start_xvfb() {
    Xvfb -displayfd 3 -br -nolisten tcp -screen 0 1280x1024x24 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local i
    for ((i = 0; i < 200; i++)); do
        grep -q '^[0-9][0-9]*$' "$WORK/display" 2>/dev/null && break
        kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb exited: $(cat "$WORK/xvfb.log")"
        sleep 0.05
    done
    grep -q '^[0-9][0-9]*$' "$WORK/display" || fail "Xvfb reported no display within 10 s"
    DISPLAY=":$(head -n1 "$WORK/display")"
    export DISPLAY
}

# Peak resident memory of process $1 so far, in KiB.
peak_kb() {
    awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null
}

# Shell helpers for scripts that run corapi-sim: source this file.
#
#   start_sim PROGRAM WORKDIR [OPTIONS...]
#       starts the simulator on a free loopback port with its output and log
#       in WORKDIR; sets sim_pid and sim_port, or prints the log and returns 1.
#   stop_sim
#       stops it again (also when it never started).

sim_pid=""
sim_port=""

start_sim() {
    local program="$1" work="$2" line=""
    shift 2
    # Port 0: the simulator picks a free port and names it on its first line.
    "$program" -p 0 "$@" >"$work/sim.out" 2>"$work/sim.log" &
    sim_pid=$!
    for _ in $(seq 100); do
        line="$(head -n 1 "$work/sim.out" 2>/dev/null || true)"
        case "$line" in
        "corapi-sim listening on "*)
            sim_port="${line##*:}"
            return 0
            ;;
        esac
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "corapi-sim did not start:" >&2
    cat "$work/sim.log" >&2
    return 1
}

stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}

# Build the named targets in build/ (configuring it first) unless they exist.
build_targets() {
    local top="$1" build="$2"
    shift 2
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$build" "$@" >/dev/null
}

#!/usr/bin/env bash
# A private PulseAudio server for tests: an ordinary process (no system daemon, no D-Bus) whose
# socket, runtime files, HOME and configuration all live in <dir>, with fixed virtual devices:
#   sink "speakers" (Speakers, default), sink "cable_input" (the virtual cable), and the clocked
#   microphone "mic" (default), a remap of the monitor of sink "micfeed" that tests play into.
#
#   pa_server.sh start <dir> [--no-cable] [--mic RATE:CHANNELS] [--cable RATE:CHANNELS]
#                            [--owner PID]      prints the PULSE_SERVER value
#   pa_server.sh stop <dir>     ends the server started in <dir>
# --no-cable leaves the cable out; --mic and --cable set those devices' formats (48000:2 by
# default; a one-channel microphone takes micfeed's left, more channels repeat left and right);
# --owner PID stops the server once that process has ended, also when it was killed.
set -euo pipefail

usage() {
    echo "usage: $0 start <dir> [--no-cable] [--mic R:C] [--cable R:C] [--owner PID] | stop <dir>" >&2
    exit 2
}

# channel_map and master_channel_map arguments for a device of $1 channels fed from stereo.
channel_maps() {
    local positions=(front-left front-right rear-left rear-right front-center lfe side-left side-right)
    local map="" master="" i
    [ "$1" -eq 2 ] && return
    if [ "$1" -eq 1 ]; then
        echo "channel_map=mono master_channel_map=front-left"
        return
    fi
    for ((i = 0; i < $1; i++)); do
        map+="${map:+,}${positions[i]}"
        master+="${master:+,}${positions[i % 2]}"
    done
    echo "channel_map=$map master_channel_map=$master"
}

null_sink() {  # name, description, rate, channels
    local rate=${3:-48000} channels=${4:-2} map=""
    [ "$channels" -ne 2 ] && map="channel_map=$(channel_maps "$channels" | sed 's/^channel_map=\([^ ]*\).*/\1/')"
    echo "load-module module-null-sink sink_name=$1 rate=$rate channels=$channels $map" \
        "format=float32le sink_properties=\"device.description='$2'\""
}

write_config() {  # dir, cable (0/1), cable rate:channels, mic rate:channels
    local dir=$1 cable=$2 cableRate=${3%:*} cableChannels=${3#*:} micRate=${4%:*} micChannels=${4#*:}
    cat >"$dir/config/pulse/daemon.conf" <<EOF
default-sample-format = float32le
default-sample-rate = 48000
default-fragments = 4
default-fragment-size-msec = 5
exit-idle-time = -1
realtime-scheduling = no
high-priority = no
EOF
    {
        echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native"
        null_sink speakers "Speakers"
        [ "$cable" -eq 1 ] &&
            null_sink cable_input "CABLE Input (VB-Audio Virtual Cable)" "$cableRate" "$cableChannels"
        null_sink micfeed "Mic Feed"
        echo "load-module module-remap-source source_name=mic master=micfeed.monitor" \
            "rate=$micRate channels=$micChannels $(channel_maps "$micChannels")" \
            "source_properties=\"device.description='Microphone'\""
        # Idle devices suspend at once. A null sink left running alone renders 2 s ahead, and a
        # stream joining it would wait until that block has played.
        echo "load-module module-suspend-on-idle timeout=0"
        echo "set-default-sink speakers"
        echo "set-default-source mic"
    } >"$dir/server.pa"
}

start() {
    [ $# -ge 1 ] || usage
    mkdir -p "$1"
    local dir cable=1 cableFormat=48000:2 micFormat=48000:2 owner=""
    dir=$(cd "$1" && pwd)
    shift
    while [ $# -gt 0 ]; do
        case $1 in
        --no-cable) cable=0 ;;
        --mic | --cable)
            [ $# -ge 2 ] || usage
            [ "$1" = --mic ] && micFormat=$2 || cableFormat=$2
            shift
            ;;
        --owner)
            [ $# -ge 2 ] || usage
            owner=$2
            shift
            ;;
        *) usage ;;
        esac
        shift
    done
    mkdir -p "$dir/runtime" "$dir/config/pulse"
    write_config "$dir" "$cable" "$cableFormat" "$micFormat"

    unset DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS DISPLAY
    export HOME=$dir PULSE_RUNTIME_PATH=$dir/runtime XDG_CONFIG_HOME=$dir/config
    # As root the server skips the per-user daemon.conf; name it explicitly.
    export PULSE_CONFIG=$dir/config/pulse/daemon.conf
    export PULSE_SERVER=unix:$dir/native
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false --use-pid-file=no \
        --log-target="file:$dir/pa.log" -F "$dir/server.pa" </dev/null >/dev/null 2>&1 &
    local pid=$!
    echo "$pid" >"$dir/pid"

    for _ in $(seq 100); do
        if timeout 2 pactl info >/dev/null 2>&1; then
            keep_running "$dir" mic speakers.monitor $([ "$cable" -eq 1 ] && echo cable_input.monitor)
            [ -n "$owner" ] && watch_owner "$dir" "$owner"
            echo "$PULSE_SERVER"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "pa_server.sh: Server in $dir antwortet nicht (siehe $dir/pa.log)" >&2
    stop "$dir"
    return 1
}

# A new stream on an idle device waits up to 2 s for its first data (the remapped microphone
# about 1.3 s), and pays that again whenever the device falls idle. Readers kept on the
# microphone and on every output's monitor for the server's lifetime make streams start at
# once, as on real hardware.
keep_running() {  # dir, sources...
    local dir=$1 src
    shift
    for src; do
        parec --latency-msec=5 -d "$src" >/dev/null 2>&1 &
        echo $! >>"$dir/readers.pid"
    done
    for src; do
        timeout 5 sh -c "parec --latency-msec=10 -d $src 2>/dev/null | head -c 4096 >/dev/null" || true
    done
}

# Stops the server once the owner has ended. Detached from every descriptor of the caller, who may
# be reading this script's output to its end.
watch_owner() {  # dir, owner pid
    (
        while kill -0 "$2" 2>/dev/null; do sleep 1; done
        rm -f "$1/watcher.pid"
        stop "$1"
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$1/watcher.pid"
}

running() {  # pid; a zombie left to a non-reaping parent counts as ended
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

stop() {
    [ $# -eq 1 ] || usage
    # shellcheck disable=SC2046
    kill $(cat "$1/readers.pid" "$1/watcher.pid" 2>/dev/null) 2>/dev/null || true
    rm -f "$1/readers.pid" "$1/watcher.pid"
    local pid
    pid=$(cat "$1/pid" 2>/dev/null) || return 0
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        running "$pid" || break
        sleep 0.05
    done
    if running "$pid"; then
        kill -KILL "$pid" 2>/dev/null || true
        while running "$pid"; do sleep 0.05; done
    fi
    rm -f "$1/pid"
}

[ $# -ge 2 ] || usage
cmd=$1
shift
case $cmd in
start) start "$@" ;;
stop) stop "$@" ;;
*) usage ;;
esac

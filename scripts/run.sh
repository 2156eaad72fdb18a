#!/usr/bin/env bash
# The live voice changer: runs a preset (default "roboter") live for a few seconds.
# With a sound server (a PulseAudio or PipeWire desktop) it uses the default microphone and
# speakers. Without one (a fresh headless machine, CI) it starts a private server whose
# microphone plays the test signal, records what the engine sends to the virtual cable and says
# where that recording is.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-roboter}
seconds=${2:-5}

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default --target engine >/dev/null
engine=build/src/app/engine

if timeout 5 pactl info >/dev/null 2>&1; then
    exec "$engine" --test "$preset" --seconds "$seconds"
fi

echo "Kein Soundserver gefunden — starte einen privaten mit virtuellem Mikrofon und Kabel." >&2
server=$(mktemp -d)
pids=()
cleanup() {
    kill -INT "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
    scripts/pa_server.sh stop "$server"
    rm -rf "$server"
}
trap cleanup EXIT
PULSE_SERVER=$(scripts/pa_server.sh start "$server")
export PULSE_SERVER

mkdir -p out
"$engine" --gen-test-wav out/testsignal.wav --seconds $((seconds + 1))
recording=out/cable-$preset.wav
parecord -d cable_input.monitor --file-format=wav --format=float32le --latency-msec=10 "$recording" &
pids+=($!)
paplay -d micfeed out/testsignal.wav &
pids+=($!)
"$engine" --test "$preset" --seconds "$seconds"
kill -INT "${pids[@]}" 2>/dev/null || true
wait "${pids[@]}" 2>/dev/null || true
pids=()
echo "Aufnahme vom virtuellen Kabel: $PWD/$recording"

#!/usr/bin/env bash
# The offline voice changer: generates the test signal, runs it through a preset
# (default "roboter") and says where the result is.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-roboter}

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default --target engine >/dev/null

mkdir -p out
build/src/protocol/engine --gen-test-wav out/testsignal.wav
build/src/protocol/engine --selftestdsp "$preset" out/testsignal.wav "out/$preset.wav"
echo "Ergebnis: $PWD/out/$preset.wav"

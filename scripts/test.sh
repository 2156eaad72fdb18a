#!/usr/bin/env bash
# Installs, builds and runs every test: once optimised, once under AddressSanitizer
# and UndefinedBehaviorSanitizer, then each fuzz target for a few seconds (clang, with both
# sanitizers), then the Windows build under Wine (scripts/test_windows.sh; KW_SKIP_WINDOWS=1
# leaves it out for a quick local run). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
for preset in default asan fuzz; do
  echo "== $preset ==" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
if [ "${KW_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "== windows: übersprungen (KW_SKIP_WINDOWS=1) ==" >&2
else
  scripts/test_windows.sh
fi

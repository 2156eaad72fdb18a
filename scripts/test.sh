#!/usr/bin/env bash
# Installs, builds and runs every test: once optimised, once under AddressSanitizer
# and UndefinedBehaviorSanitizer, then each fuzz target for a few seconds (clang, with both
# sanitizers). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
for preset in default asan fuzz; do
  echo "== $preset ==" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

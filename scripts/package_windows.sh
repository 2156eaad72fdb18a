#!/usr/bin/env bash
# Builds engine.exe and packs the Windows zip: engine.exe, onnxruntime.dll and DirectML.dll,
# the licences of what it ships and a short README (packaging/windows/README.txt). Prints where.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target engine
cpack --preset windows >/dev/null
zip=build-win/engine-windows-x64.zip
echo "$PWD/$zip ($(du -k "$zip" | cut -f1) KiB)"

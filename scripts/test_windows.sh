#!/usr/bin/env bash
# Cross-builds engine.exe and the unit tests for Windows and runs the tests under Wine, headless,
# with a private Wine prefix and HOME in a temporary directory. Needs the Linux build
# (cmake --preset default) for the comparison of the DSP output. Arguments go to ctest (-R neural).
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== windows ==" >&2
cmake --preset windows >/dev/null
cmake --build --preset windows

wine_dir=$(mktemp -d /tmp/kw_wine.XXXXXX)
sound=$wine_dir/sound
export WINEPREFIX=$wine_dir/prefix HOME=$wine_dir/home WINEDEBUG=-all
# Wine's ALSA driver finds no sound card here and only writes noise to standard error; the
# PulseAudio driver talks to the private sound servers of the tests.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml=;winealsa.drv=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" "$WINEPREFIX"
wineserver=/usr/lib/wine/wineserver
cleanup() {
  scripts/pa_server.sh stop "$sound" || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$wine_dir"
}
trap cleanup EXIT
# Started first and detached: a wineserver that a test's Wine process starts inherits that
# process's output and holds the test's pipes open.
"$wineserver" -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1

# The unit tests' sound server: Wine reads PULSE_SERVER once, when a process starts, and a
# Windows program under Wine cannot run the server's tools itself.
PULSE_SERVER=$(scripts/pa_server.sh start "$sound" --owner $$)
export PULSE_SERVER
KW_LINUX_ENGINE=$PWD/build/src/app/engine ctest --preset windows "$@"

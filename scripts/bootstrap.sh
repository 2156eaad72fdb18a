#!/usr/bin/env bash
# Installs everything the engine needs to build and test on Debian 12.
# Idempotent: when all is present it installs nothing and touches nothing.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-numpy python3-onnx
  pulseaudio pulseaudio-utils libpulse-dev
  clang-format
  clang libclang-rt-14-dev llvm
  # The Windows build: cross compiler, GoogleTest's sources for it, and Wine to run it.
  g++-mingw-w64-x86-64-posix googletest wine wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installiere ${missing[*]}" >&2
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
fi

# ONNX Runtime: official builds as shipped in npm packages, pinned by version and by the registry's
# sha512 integrity. Laid out once under fixed prefixes outside the repo; the build only reads them
# from there (cmake/OnnxRuntime.cmake), nothing is fetched at build or run time.
# Linux: the CPU build of 1.29.0, with the headers (C API 19 serves both runtimes) and the licences.
ort_version=1.29.0
ort_package=com.github.asus4.onnxruntime@0.4.9
ort_integrity=sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg==
ort_prefix=/opt/kw-deps/onnxruntime-$ort_version
ort_headers=(onnxruntime_c_api.h onnxruntime_ep_c_api.h onnxruntime_error_code.h)
ort_notices=(LICENSE ThirdPartyNotices.txt)
# Windows: the DirectML build of 1.31.1 (onnxruntime.dll and DirectML.dll).
ort_win_version=1.31.1
ort_win_package=onnxruntime-node@$ort_win_version
ort_win_integrity=sha512-ijnSghbDHVWaQ2nDPmVccPlCHI8kH1Mx1aJ4a/qzRP16bBcVs4E3EqZQKZCkhWnbqN1tuQWxagimFtDpbPYYQw==
ort_win_prefix=/opt/kw-deps/onnxruntime-$ort_win_version-win-x64
ort_win_dlls=(onnxruntime.dll DirectML.dll)

ort_present() {
  local h
  for h in "${ort_headers[@]}"; do [ -f "$ort_prefix/include/$h" ] || return 1; done
  [ -f "$ort_prefix/lib/libonnxruntime.so.$ort_version" ] &&
    [ -L "$ort_prefix/lib/libonnxruntime.so.1" ] && [ -L "$ort_prefix/lib/libonnxruntime.so" ]
}

ort_win_present() {
  local f
  for f in "${ort_headers[@]/#/include/}" "${ort_win_dlls[@]/#/lib/}" "${ort_notices[@]}"; do
    [ -f "$ort_win_prefix/$f" ] || return 1
  done
}

# Downloads an npm package into $work and checks it; prints the tarball's path.
fetch() {  # package, integrity
  # A private cache keeps the large tarballs out of ~/.npm.
  (cd "$work" && npm pack --silent --cache "$work/cache" "$1" >/dev/null)
  local tarball want got
  tarball=$(ls -t "$work"/*.tgz | head -n 1)
  # The pin is base64; compare as hex so only coreutils are needed.
  want=$(printf '%s' "${2#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
  got=$(sha512sum "$tarball" | cut -d' ' -f1)
  if [ "$want" != "$got" ]; then
    echo "bootstrap: Prüfsumme von $1 stimmt nicht (sha512 $got)" >&2
    exit 1
  fi
  echo "$tarball"
}

# Lays out the staged prefix and moves it in place in one step, so an interrupted run leaves
# nothing half done.
publish() {  # stage, prefix
  "${sudo[@]}" rm -rf "$2"
  "${sudo[@]}" mv "$1" "$2"
}

if ! ort_present || ! ort_win_present; then
  if ! command -v npm >/dev/null; then
    echo "bootstrap: installiere npm" >&2
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends npm
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # Both prefixes take the headers and the licences from this package.
  echo "bootstrap: lade ONNX Runtime $ort_version ($ort_package)" >&2
  tarball=$(fetch "$ort_package" "$ort_integrity")
  headers_dir='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers'
  library='package/Plugins/Linux/x64/libonnxruntime.so'
  tar -xzf "$tarball" -C "$work" "$library" "${ort_headers[@]/#/$headers_dir/}" \
    "${ort_notices[@]/#/package/}"
  rm -f "$tarball"

  stage_common() {  # stage: headers and licences
    local h
    "${sudo[@]}" rm -rf "$1"
    "${sudo[@]}" mkdir -p "$1/include" "$1/lib"
    for h in "${ort_headers[@]}"; do
      "${sudo[@]}" install -m 644 "$work/$headers_dir/$h" "$1/include/$h"
    done
    for h in "${ort_notices[@]}"; do "${sudo[@]}" install -m 644 "$work/package/$h" "$1/$h"; done
  }

  if ! ort_present; then
    stage="$ort_prefix.partial"
    stage_common "$stage"
    "${sudo[@]}" install -m 755 "$work/$library" "$stage/lib/libonnxruntime.so.$ort_version"
    "${sudo[@]}" ln -s "libonnxruntime.so.$ort_version" "$stage/lib/libonnxruntime.so.1"
    "${sudo[@]}" ln -s libonnxruntime.so.1 "$stage/lib/libonnxruntime.so"
    publish "$stage" "$ort_prefix"
  fi

  if ! ort_win_present; then
    echo "bootstrap: lade ONNX Runtime $ort_win_version für Windows ($ort_win_package)" >&2
    tarball=$(fetch "$ort_win_package" "$ort_win_integrity")
    dlls_dir=package/bin/napi-v6/win32/x64
    tar -xzf "$tarball" -C "$work" "${ort_win_dlls[@]/#/$dlls_dir/}"
    stage="$ort_win_prefix.partial"
    stage_common "$stage"
    for d in "${ort_win_dlls[@]}"; do
      "${sudo[@]}" install -m 644 "$work/$dlls_dir/$d" "$stage/lib/$d"
    done
    publish "$stage" "$ort_win_prefix"
  fi
  rm -rf "$work"
  trap - EXIT
fi

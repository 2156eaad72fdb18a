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

# ONNX Runtime: the official CPU build as shipped in an npm package, pinned by version and by the
# registry's sha512 integrity. Laid out once under a fixed prefix outside the repo; the build only
# reads it from there (cmake/OnnxRuntime.cmake), nothing is fetched at build or run time.
ort_version=1.29.0
ort_package=com.github.asus4.onnxruntime@0.4.9
ort_integrity=sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg==
ort_prefix=/opt/kw-deps/onnxruntime-$ort_version
ort_headers=(onnxruntime_c_api.h onnxruntime_ep_c_api.h onnxruntime_error_code.h)

ort_present() {
  local h
  for h in "${ort_headers[@]}"; do [ -f "$ort_prefix/include/$h" ] || return 1; done
  [ -f "$ort_prefix/lib/libonnxruntime.so.$ort_version" ] &&
    [ -L "$ort_prefix/lib/libonnxruntime.so.1" ] && [ -L "$ort_prefix/lib/libonnxruntime.so" ]
}

if ! ort_present; then
  if ! command -v npm >/dev/null; then
    echo "bootstrap: installiere npm" >&2
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends npm
  fi
  echo "bootstrap: lade ONNX Runtime $ort_version ($ort_package)" >&2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # A private cache keeps the 150 MB tarball out of ~/.npm.
  (cd "$work" && npm pack --silent --cache "$work/cache" "$ort_package" >/dev/null)
  tarball=$(echo "$work"/*.tgz)
  # The pin is base64; compare as hex so only coreutils are needed.
  want=$(printf '%s' "${ort_integrity#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
  got=$(sha512sum "$tarball" | cut -d' ' -f1)
  if [ "$want" != "$got" ]; then
    echo "bootstrap: Prüfsumme von $ort_package stimmt nicht (sha512 $got)" >&2
    exit 1
  fi
  headers_dir='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers'
  library='package/Plugins/Linux/x64/libonnxruntime.so'
  tar -xzf "$tarball" -C "$work" "$library" "${ort_headers[@]/#/$headers_dir/}"
  # Laid out beside the prefix and moved in one step, so an interrupted run leaves nothing half done.
  stage="$ort_prefix.partial"
  "${sudo[@]}" rm -rf "$stage" "$ort_prefix"
  "${sudo[@]}" mkdir -p "$stage/include" "$stage/lib"
  for h in "${ort_headers[@]}"; do
    "${sudo[@]}" install -m 644 "$work/$headers_dir/$h" "$stage/include/$h"
  done
  "${sudo[@]}" install -m 755 "$work/$library" "$stage/lib/libonnxruntime.so.$ort_version"
  "${sudo[@]}" ln -s "libonnxruntime.so.$ort_version" "$stage/lib/libonnxruntime.so.1"
  "${sudo[@]}" ln -s libonnxruntime.so.1 "$stage/lib/libonnxruntime.so"
  "${sudo[@]}" mv "$stage" "$ort_prefix"
  rm -rf "$work"
  trap - EXIT
fi

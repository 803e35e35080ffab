#!/usr/bin/env bash
# Installs what the build needs and is missing: Debian packages, the ONNX Runtime
# library and headers (from the npm registry, integrity-checked), and the demo portrait.
# Idempotent: every step is skipped when its result is already in place.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tp="$top/third_party"

PKGS=(cmake make g++ pkg-config
      libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libswresample-dev
      libx264-dev libx265-dev
      libhwy-dev libstb-dev nlohmann-json3-dev libonnx-dev libprotobuf-dev protobuf-compiler
      libgtest-dev libgmock-dev libbenchmark-dev
      espeak-ng ca-certificates openssl
      python3-numpy python3-pytest python3-websocket
      libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
      gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice
      libsoup-3.0-dev chromium
      clang libclang-rt-14-dev)
# Benchmark baselines only, on request (`--bench` or LE_BENCH_DEPS=1): never for
# building or testing the library.
if [ "${1:-}" = "--bench" ] || [ "${LE_BENCH_DEPS:-0}" = 1 ]; then
  PKGS+=(libopencv-dev)
fi

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo "$@"
  else
    echo "setup-deps: need root (or password-less sudo) to run: $*" >&2
    echo "setup-deps: install these packages by hand and run make again: ${missing[*]:-}" >&2
    exit 1
  fi
}

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The machine image may carry its own Node.js; only fall back to Debian's npm when none is there.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-deps: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ONNX Runtime: Linux x64 library and the C/C++ headers out of one npm package.
ORT_PKG=com.github.asus4.onnxruntime
ORT_VER=0.4.9
ort="$tp/onnxruntime"
if [ ! -f "$ort/lib/libonnxruntime.so.1" ] || [ ! -f "$ort/include/onnxruntime_cxx_api.h" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  echo "setup-deps: fetching $ORT_PKG@$ORT_VER"
  want=$(cd "$work" && npm view "$ORT_PKG@$ORT_VER" dist.integrity)
  tgz=$(cd "$work" && npm pack --silent "$ORT_PKG@$ORT_VER" | tail -n 1)
  algo=${want%%-*}
  got="$algo-$(openssl dgst -"$algo" -binary "$work/$tgz" | base64 -w0)"
  if [ "$got" != "$want" ]; then
    echo "setup-deps: integrity mismatch for $tgz: registry says $want, file is $got" >&2
    exit 1
  fi
  hdr=package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers
  tar -xzf "$work/$tgz" -C "$work" package/Plugins/Linux/x64/libonnxruntime.so "$hdr"
  rm -rf "$ort"
  mkdir -p "$ort/lib" "$ort/include"
  cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$ort/lib/libonnxruntime.so.1"
  ln -sf libonnxruntime.so.1 "$ort/lib/libonnxruntime.so"
  cp "$work/$hdr"/*.h "$ort/include/"
  echo "$ORT_PKG@$ORT_VER $want" > "$ort/SOURCE"
  rm -rf "$work"
  trap - EXIT
fi

# Demo portrait: one image out of a Debian package, without installing the package.
demo="$tp/demo/astronaut.png"
if [ ! -f "$demo" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get download python3-skimage >/dev/null 2>&1) || {
    as_root apt-get update -qq
    (cd "$work" && apt-get download python3-skimage >/dev/null)
  }
  mkdir -p "$tp/demo"
  dpkg-deb --fsys-tarfile "$work"/python3-skimage_*.deb |
    tar -xO ./usr/lib/python3/dist-packages/skimage/data/astronaut.png > "$demo.tmp"
  mv "$demo.tmp" "$demo"
  rm -rf "$work"
  trap - EXIT
fi

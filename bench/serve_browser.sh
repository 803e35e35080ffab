#!/usr/bin/env bash
# lecore serve through a real browser: first-frame latency (first captured audio
# to the first speech frame, seen by the page), frames shown per second while
# speech streams, and frames dropped, for a near-free director (crop 64) and for
# the demo identity's director (crop 512), both at 1280x720.
# Usage: bench/serve_browser.sh [BUILD_DIR] [SECONDS_OF_SPEECH]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-release}
talk=${2:-8}
for id in 1280x720x64 demo; do
  extra=(--identity "$id")
  [ "$id" = demo ] && extra=()
  echo "== $id"
  /usr/bin/python3 "$top/tests/serve/serve_browser.py" --lecore "$build/tools/lecore" --forge "$build/tools/le-forge" \
    --speech "$top/tests/fixtures/speech_16k.f32" --readme-block "$top/scripts/readme-block" \
    --work "$build/bench-serve-$id" --talk "$talk" "${extra[@]}" | grep -E '^(serve: [0-9]|FAIL|SKIP)'
done

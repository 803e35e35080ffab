#!/usr/bin/env bash
# The installed copy as a host sees it.
#
#   install_host.sh layout|c-pkgconfig|cmake FORGE
#
# Environment: LE_SRC (source tree), LE_BUILD (build tree), LE_TEST_ROOT (this
# test family's scratch root, inside the build tree), LE_SANITIZE (the build's
# sanitizers, empty for none).
#
# layout: installs the build tree into $LE_TEST_ROOT/prefix and checks what
#   landed there (files, soname, RUNPATH, where ONNX Runtime resolves), then
#   forges the identity, motion engine and speech the hosts run on.
# c-pkgconfig: runs the README's block of that name, unmodified, in a scratch
#   directory laid out like the repo root after `make demo`.
# cmake: builds the README's CMake block as a project around the example's
#   source against the prefix, runs it, and feeds it bad input.
set -euo pipefail

mode=${1:?mode} forge=${2:?forge}
src=${LE_SRC:?} build=${LE_BUILD:?} root=${LE_TEST_ROOT:?} sanitize=${LE_SANITIZE:-}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$root/prefix fixture=$root/fixture
py=/usr/bin/python3
# A small identity; the speech is not a whole number of frames.
W=64 H=48 CROP=32 NT=6 SAMPLES=20000

fail() { echo "FAIL: $*" >&2; exit 1; }
# The library never reaches the build or source tree, nor LD_LIBRARY_PATH.
unset LD_LIBRARY_PATH

version() {
  local parts=() p
  for p in MAJOR MINOR PATCH; do
    parts+=("$(sed -n "s/^#define LE_VERSION_$p \([0-9]*\).*/\1/p" "$src/include/le/le.h")")
  done
  local IFS=.
  echo "${parts[*]}"
}

layout() {
  rm -rf "$root"
  mkdir -p "$root"
  cmake --install "$build" --prefix "$prefix" > "$root/install.log" || { cat "$root/install.log"; fail "cmake --install"; }
  local v major
  v=$(version)
  major=${v%%.*}

  # Exactly these files: no archive, tool, test or forge.
  local want got
  want=$( {
    for h in "$src"/include/le/*.h; do echo "include/le/${h##*/}"; done
    printf '%s\n' lib/cmake/le_core/le_coreConfig.cmake lib/cmake/le_core/le_coreConfigVersion.cmake \
      lib/cmake/le_core/le_coreTargets.cmake lib/cmake/le_core/le_coreTargets-CONFIG.cmake \
      lib/libonnxruntime.so.1 lib/lible_core.so lib/lible_core.so.$major lib/lible_core.so.$v \
      lib/pkgconfig/le_core.pc
  } | sort)
  got=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||; s|le_coreTargets-[a-z]*\.cmake$|le_coreTargets-CONFIG.cmake|' | sort)
  [ "$want" = "$got" ] || fail "installed files differ from the expected set:$(diff <(echo "$want") <(echo "$got") | sed 's/^/ /')"
  [ -f "$prefix/lib/libonnxruntime.so.1" ] && [ ! -L "$prefix/lib/libonnxruntime.so.1" ] \
    || fail "libonnxruntime.so.1 must be a plain file in the prefix"
  cmp -s "$prefix/lib/libonnxruntime.so.1" "$src/third_party/onnxruntime/lib/libonnxruntime.so.1" \
    || fail "the installed libonnxruntime.so.1 is not the one the library was built with"
  [ "$(readlink "$prefix/lib/lible_core.so")" = "lible_core.so.$major" ] || fail "lible_core.so does not name the soname"

  # Soname from the major version; the only run path is the library's own directory.
  local dyn
  dyn=$(readelf -d "$prefix/lib/lible_core.so.$v")
  grep -q "(SONAME) *Library soname: \[lible_core.so.$major\]$" <<<"$dyn" || fail "soname:$(grep SONAME <<<"$dyn")"
  grep -q '(RUNPATH) *Library runpath: \[\$ORIGIN\]$' <<<"$dyn" || fail "RUNPATH:$(grep -E 'R(UN)?PATH' <<<"$dyn")"
  ! grep -q '(RPATH)' <<<"$dyn" || fail "an RPATH besides the RUNPATH"

  # Every dependency resolves, ONNX Runtime inside the prefix, nothing from the trees.
  local deps path
  deps=$(ldd "$prefix/lib/lible_core.so.$major")
  ! grep -q 'not found' <<<"$deps" || fail "unresolved dependencies:"$'\n'"$deps"
  grep -q "libonnxruntime.so.1 => $prefix/lib/libonnxruntime.so.1 " <<<"$deps" \
    || fail "libonnxruntime.so.1 does not resolve inside the prefix:"$'\n'"$deps"
  for path in $(awk '$2 == "=>" { print $3 }' <<<"$deps"); do
    path=$(realpath "$path")
    case $path in
      "$prefix"/*) ;;
      "$src"/* | "$build"/*) fail "the installed library reaches back into the tree: $path" ;;
    esac
  done
  [ "$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion le_core)" = "$v" ] || fail "le_core.pc version"

  # What the hosts run on.
  mkdir -p "$fixture"
  "$forge" bundle "$fixture/bundle" --nt $NT --w $W --h $H --crop $CROP --models b1 > "$root/forge.log"
  "$forge" motion "$fixture/engine" --nt $NT >> "$root/forge.log"
  $py "$here/host_check.py" wav "$fixture/speech.wav" 16000 $SAMPLES
  $py "$here/host_check.py" wav "$fixture/speech_44k.wav" 44100 4410
  echo "installed $v: $(wc -l <<<"$got") files, soname lible_core.so.$major, RUNPATH \$ORIGIN"
}

# No warning from compiler or linker (about ONNX Runtime, say); the library's own
# diagnostics on stderr are not of that form.
no_warnings() {
  ! grep -Ei '(^|[: ])warning:' "$1" || fail "warnings while building the host (above)"
}

c_pkgconfig() {
  local scratch=$root/c-pkgconfig
  rm -rf "$scratch" "$root/c-pkgconfig-prefix"
  mkdir -p "$scratch/out"
  ln -s "$build" "$scratch/build"
  ln -s "$src/examples" "$scratch/examples"
  ln -s "$fixture/bundle" "$scratch/out/demo"
  ln -s "$fixture/engine" "$scratch/out/demo_engine"
  ln -s "$fixture/speech.wav" "$scratch/out/demo_speech.wav"
  "$src/scripts/readme-block" c-pkgconfig > "$root/c-pkgconfig.sh"
  # A prefix of its own: the block installs, and the other tests read $prefix meanwhile.
  if ! (cd "$scratch" && PREFIX=$root/c-pkgconfig-prefix bash -e "$root/c-pkgconfig.sh") > "$root/c-pkgconfig.log" 2>&1; then
    cat "$root/c-pkgconfig.log"
    fail "the README's c-pkgconfig block failed"
  fi
  no_warnings "$root/c-pkgconfig.log"
  (cd "$scratch" && $py "$here/host_check.py" frames "$root/c-pkgconfig.log" $SAMPLES $W $H)
  grep '^live_host: ' "$root/c-pkgconfig.log"
}

# Runs the host on bad input: exit 1 and one line on stderr that says why.
refuses() {
  local want=$1 err=$root/cmake-bad.err rc=0
  shift
  "$@" > "$root/cmake-bad.out" 2> "$err" || rc=$?
  [ $rc -eq 1 ] || { cat "$err"; fail "exit $rc instead of 1 for: $*"; }
  [ ! -s "$root/cmake-bad.out" ] || fail "output on stdout for bad input: $(cat "$root/cmake-bad.out")"
  [ "$(wc -l < "$err")" -eq 1 ] && grep -q "^live_host: .*$want" "$err" \
    || fail "one line with '$want' expected on stderr, got: $(cat "$err")"
  cat "$err"
}

cmake_block() {
  local proj=$root/cmake-project
  rm -rf "$proj"
  mkdir -p "$proj"
  "$src/scripts/readme-block" cmake > "$proj/CMakeLists.txt"
  cmp -s "$proj/CMakeLists.txt" "$src/examples/c_host/CMakeLists.txt" \
    || fail "the README's cmake block differs from examples/c_host/CMakeLists.txt"
  cp "$src/examples/c_host/live_host.c" "$proj/"
  local cflags="-Wall -Wextra -pedantic-errors"
  [ -z "$sanitize" ] || cflags+=" -fsanitize=$sanitize"
  if ! { cmake -S "$proj" -B "$proj/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" &&
         cmake --build "$proj/build" -- VERBOSE=1; } > "$root/cmake-build.log" 2>&1; then
    cat "$root/cmake-build.log"
    fail "the README's cmake block did not build"
  fi
  no_warnings "$root/cmake-build.log"

  local host=$proj/build/live_host
  (cd "$proj" && "$host" "$fixture/bundle" "$fixture/engine" "$fixture/speech.wav" frames) > "$root/cmake-run.log" \
    || { cat "$root/cmake-run.log"; fail "the host failed"; }
  (cd "$proj" && $py "$here/host_check.py" frames "$root/cmake-run.log" $SAMPLES $W $H)
  cat "$root/cmake-run.log"

  refuses "44100 Hz" "$host" "$fixture/bundle" "$fixture/engine" "$fixture/speech_44k.wav" "$proj/bad"
  refuses "le_create: " "$host" "$root/no-such-bundle" "$fixture/engine" "$fixture/speech.wav" "$proj/bad"
}

case $mode in
  layout) layout ;;
  c-pkgconfig) c_pkgconfig ;;
  cmake) cmake_block ;;
  *) fail "unknown mode $mode" ;;
esac

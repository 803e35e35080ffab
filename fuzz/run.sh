#!/bin/bash
# Runs the harnesses listed in <build>/harnesses.txt.
#   run.sh <build> smoke <runs> [<secs>] every harness for <runs> executions over its
#                                        seeds, or <secs> seconds if that comes first
#                                        (new inputs go to a scratch dir)
#   run.sh <build> run <name> <seconds>  one harness for a while, growing <build>/corpus/<name>
# Seeds: <build>/seeds/<name> (written by le-fuzz-seeds) and fuzz/corpus/<name>
# (inputs kept in the tree, such as past findings). Findings land in
# <build>/findings/<name>-*; any finding makes the run fail, and so does one
# left there by an earlier run until it is looked at and removed.
set -u
build=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$build/harnesses.txt" ] || { echo "run.sh: no $build/harnesses.txt (make fuzz first)" >&2; exit 2; }
mkdir -p "$build/findings"

run_one() {  # name dict corpus-dir libFuzzer-options...
  local name=$1 dict=$2 corpus=$3
  shift 3
  # Absurd allocations and hangs count as findings, like crashes.
  local args=(-artifact_prefix="$build/findings/$name-" -print_final_stats=1
              -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=25)
  [ "$dict" != "-" ] && args+=(-dict="$dict")
  mkdir -p "$corpus" "$build/seeds/$name"
  local seeds=("$build/seeds/$name")
  [ -d "$here/corpus/$name" ] && seeds+=("$here/corpus/$name")
  echo "== $name"
  "$build/$name" "${args[@]}" "$@" "$corpus" "${seeds[@]}"
}

failed=0
case $mode in
  smoke)
    runs=$3 secs=${4:-0}
    while read -r name dict; do
      [ -n "$name" ] || continue
      scratch=$(mktemp -d)
      # A fixed seed: the smoke replays the same inputs every time, so it cannot
      # pass on one run and fail on the next; longer runs explore at random.
      run_one "$name" "$dict" "$scratch" -seed=1 -runs="$runs" -max_total_time="$secs" || failed=1
      rm -rf "$scratch"
    done < "$build/harnesses.txt"
    ;;
  run)
    name=$3 secs=$4
    dict=$(awk -v n="$name" '$1 == n { print $2 }' "$build/harnesses.txt")
    [ -n "$dict" ] || { echo "run.sh: no harness $name" >&2; exit 2; }
    run_one "$name" "$dict" "$build/corpus/$name" -max_total_time="$secs" || failed=1
    ;;
  *)
    echo "usage: run.sh <build> smoke <runs> [<seconds>] | run.sh <build> run <name> <seconds>" >&2
    exit 2
    ;;
esac
if compgen -G "$build/findings/*" >/dev/null; then
  echo "run.sh: findings in $build/findings:" >&2
  ls "$build/findings" >&2
  failed=1
fi
exit $failed

#!/usr/bin/env bash
# A real code base (bench/realcode-tree.sh: kernel/ mm/ fs/ of the Linux kernel from
# Debian's linux-source package) built clean with `make -jN` directly and through
# ravelcon with interception at the same N (/KEEPORIGJOBSNUM), the runs of both kinds
# interleaved. Every run is checked before it counts: exit code 0, every object built,
# and for the runs through ravelcon at least one task per object in the monitor file.
# Prints each run with the machine's load, then the medians and their ratio.
#   bench/realcode-build.sh [N]    (RUNS, default 5; REALCODE, the tree's folder)
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-prefix"
jobs=${1:-$(nproc)}
runs=${RUNS:-5}
tree=$(bench/realcode-tree.sh "${REALCODE:-/var/tmp/morvek-realcode}" | sed -n 1p) || exit 1
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh
work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT

# A warm-up build: fills the page cache and tells how many objects a build makes.
make -s -C "$tree" clean >/dev/null
make -s -C "$tree" -j"$jobs" >"$work/warmup.log" 2>&1 || { echo "warm-up build failed" >&2; tail -5 "$work/warmup.log" >&2; exit 1; }
objects=$(make -s -C "$tree" count)
[ "$objects" -ge 150 ] || { echo "only $objects objects in the tree" >&2; exit 1; }

# Milliseconds of one clean build by the given command; fails unless it exited 0
# and built every object.
timed() {
  make -s -C "$tree" clean >/dev/null
  local start end built
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
  end=$(date +%s%N)
  built=$(make -s -C "$tree" count)
  [ "$built" -eq "$objects" ] || { echo "only $built of $objects objects built: $*" >&2; return 1; }
  echo $(((end - start) / 1000000))
}
# The tasks of the last build's monitor file.
tasks_of() {
  "$prefix/bin/morvek-monitor" "$1" --summary | sed -n 's/^Tasks: *\([0-9]*\).*/\1/p'
}

direct=()
inside=()
for run in $(seq "$runs"); do
  t=$(timed make -s -C "$tree" -j"$jobs") || exit 1
  direct+=("$t")
  echo "run $run direct make -j$jobs: $t ms; $(uptime)"
  rm -f "$work/run.mv_mon"
  t=$(timed "$ravelcon" /nologo /KEEPORIGJOBSNUM /MON="$work/run.mv_mon" \
    /COMMAND="make -s -C $tree -j$jobs") || exit 1
  tasks=$(tasks_of "$work/run.mv_mon")
  [ -n "$tasks" ] && [ "$tasks" -ge "$objects" ] || { echo "the monitor file holds ${tasks:-no} tasks for $objects objects" >&2; exit 1; }
  inside+=("$t")
  echo "run $run ravelcon make -j$jobs: $t ms, $tasks tasks; $(uptime)"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
d=$(median "${direct[@]}")
i=$(median "${inside[@]}")
echo "$objects objects, make -j$jobs, median of $runs runs: direct ${d} ms, through ravelcon ${i} ms, ratio $(echo "scale=3; $i / $d" | bc)"
echo "load at the end: $(uptime)"

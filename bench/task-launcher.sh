#!/usr/bin/env bash
# The per-task cost of the task launcher: 200 compiles of a tiny file by make inside
# a ravelcon build (every compile a task through morvek-task) against the same make
# without ravelcon, one compile at a time, the fixed cost of each side taken off.
# Every run is checked (every object built, 200 tasks in the monitor file); prints
# each run with the machine's load, the medians of 5 runs and the cost per compile.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-prefix"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh

count=${COUNT:-200}
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT
for i in $(seq "$count"); do
  echo "int f$i(void) { return $i; }" > "$work/f$i.c"
done
cat > "$work/Makefile" <<'MAKE'
objects := $(patsubst %.c,%.o,$(wildcard *.c))
all: $(objects)
%.o: %.c
	cc -c -o $@ $<
MAKE

# Milliseconds of one build by the given command after removing `remove` objects (all
# or none); fails unless every object is there afterwards.
timed() {
  local remove=$1
  shift
  [ "$remove" = all ] && rm -f "$work"/*.o
  local start end
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
  end=$(date +%s%N)
  local built
  built=$(find "$work" -name '*.o' -size +0 | wc -l)
  [ "$built" -eq "$count" ] || { echo "only $built of $count objects built: $*" >&2; return 1; }
  echo $(((end - start) / 1000000))
}
# The tasks in the monitor file of the last build through ravelcon.
tasks_of() {
  "$prefix/bin/morvek-monitor" "$work/run.mv_mon" --summary | sed -n 's/^Tasks: *\([0-9]*\).*/\1/p'
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# One compile at a time on both sides (/KEEPORIGJOBSNUM: the build system would raise
# -j to its rows), runs of the four kinds interleaved so that a change of the machine's
# load meets all of them. The builds with nothing to compile measure the fixed cost of
# each side (make's start; ravelcon's console, agent and build system), which is taken
# off: what remains is the cost of the compiles themselves.
inside_cmd=("$ravelcon" /nologo /KEEPORIGJOBSNUM /MON="$work/run.mv_mon" /COMMAND="make -s -j1 -C $work")
bare_full=() bare_empty=() inside_full=() inside_empty=()
make -s -j1 -C "$work" >/dev/null 2>&1 # warm-up: compiler and headers in the page cache
for run in $(seq "$runs"); do
  t=$(timed all make -s -j1 -C "$work") || exit 1; bare_full+=("$t")
  t=$(timed none make -s -j1 -C "$work") || exit 1; bare_empty+=("$t")
  rm -f "$work/run.mv_mon"
  t=$(timed all "${inside_cmd[@]}") || exit 1
  tasks=$(tasks_of)
  [ "${tasks:-0}" -eq "$count" ] || { echo "the monitor file holds ${tasks:-no} tasks, not $count" >&2; exit 1; }
  inside_full+=("$t")
  tasks_full=$tasks
  rm -f "$work/run.mv_mon"
  t=$(timed none "${inside_cmd[@]}") || exit 1
  tasks=$(tasks_of)
  [ "${tasks:-0}" -eq 0 ] || { echo "an up-to-date build made ${tasks} tasks" >&2; exit 1; }
  inside_empty+=("$t")
  echo "run $run: bare ${bare_full[-1]} ms (empty ${bare_empty[-1]}), ravelcon ${inside_full[-1]} ms (empty ${inside_empty[-1]}), $tasks_full tasks; $(uptime)"
done
bf=$(median "${bare_full[@]}"); be=$(median "${bare_empty[@]}")
if_=$(median "${inside_full[@]}"); ie=$(median "${inside_empty[@]}")
echo "$count compiles, medians of $runs runs: bare make ${bf} ms (up to date ${be} ms), inside ravelcon ${if_} ms (up to date ${ie} ms)"
echo "launcher cost per compile: $((((if_ - ie) - (bf - be)) * 1000 / count)) us; $(uptime)"

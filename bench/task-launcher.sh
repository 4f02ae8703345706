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

# Sets cpu_now to the milliseconds of CPU (user and system) of this shell's ended
# children so far (`times` runs in this shell: in a pipe or a substitution it would
# see a fresh subshell's).
children_cpu() {
  times >"$work/times"
  cpu_now=$(tail -1 "$work/times" | awk '{ ms = 0; for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); ms += t[1] * 60000 + t[2] * 1000 } printf "%d\n", ms }')
}
# Milliseconds of one build by the given command after removing `remove` objects (all
# or none), and the CPU milliseconds of the processes it waited for (the console, the
# build system, make, the launchers and the tools; on a loaded machine a steadier
# figure than the time); fails unless every object is there afterwards.
timed() {
  local remove=$1
  shift
  [ "$remove" = all ] && rm -f "$work"/*.o
  local start end cpu cpu_now
  children_cpu
  cpu=$cpu_now
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
  end=$(date +%s%N)
  children_cpu
  cpu=$((cpu_now - cpu))
  local built
  built=$(find "$work" -name '*.o' -size +0 | wc -l)
  [ "$built" -eq "$count" ] || { echo "only $built of $count objects built: $*" >&2; return 1; }
  echo "$(((end - start) / 1000000)) $cpu"
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
cpu_bare_full=() cpu_bare_empty=() cpu_inside_full=() cpu_inside_empty=()
make -s -j1 -C "$work" >/dev/null 2>&1 # warm-up: compiler and headers in the page cache
for run in $(seq "$runs"); do
  read -r t c < <(timed all make -s -j1 -C "$work") && [ -n "$c" ] || exit 1
  bare_full+=("$t"); cpu_bare_full+=("$c")
  read -r t c < <(timed none make -s -j1 -C "$work") && [ -n "$c" ] || exit 1
  bare_empty+=("$t"); cpu_bare_empty+=("$c")
  rm -f "$work/run.mv_mon"
  read -r t c < <(timed all "${inside_cmd[@]}") && [ -n "$c" ] || exit 1
  tasks=$(tasks_of)
  [ "${tasks:-0}" -eq "$count" ] || { echo "the monitor file holds ${tasks:-no} tasks, not $count" >&2; exit 1; }
  inside_full+=("$t"); cpu_inside_full+=("$c")
  tasks_full=$tasks
  rm -f "$work/run.mv_mon"
  read -r t c < <(timed none "${inside_cmd[@]}") && [ -n "$c" ] || exit 1
  tasks=$(tasks_of)
  [ "${tasks:-0}" -eq 0 ] || { echo "an up-to-date build made ${tasks} tasks" >&2; exit 1; }
  inside_empty+=("$t"); cpu_inside_empty+=("$c")
  echo "run $run: bare ${bare_full[-1]} ms (empty ${bare_empty[-1]}), ravelcon ${inside_full[-1]} ms (empty ${inside_empty[-1]}), $tasks_full tasks; CPU bare ${cpu_bare_full[-1]} ms (empty ${cpu_bare_empty[-1]}), ravelcon ${cpu_inside_full[-1]} ms (empty ${cpu_inside_empty[-1]}); $(uptime)"
done
bf=$(median "${bare_full[@]}"); be=$(median "${bare_empty[@]}")
if_=$(median "${inside_full[@]}"); ie=$(median "${inside_empty[@]}")
cbf=$(median "${cpu_bare_full[@]}"); cbe=$(median "${cpu_bare_empty[@]}")
cif=$(median "${cpu_inside_full[@]}"); cie=$(median "${cpu_inside_empty[@]}")
echo "$count compiles, medians of $runs runs: bare make ${bf} ms (up to date ${be} ms), inside ravelcon ${if_} ms (up to date ${ie} ms)"
echo "launcher cost per compile: $((((if_ - ie) - (bf - be)) * 1000 / count)) us; $(uptime)"
echo "launcher CPU per compile: $((((cif - cie) - (cbf - cbe)) * 1000 / count)) us (CPU medians: bare ${cbf} ms, up to date ${cbe} ms; inside ${cif} ms, up to date ${cie} ms)"

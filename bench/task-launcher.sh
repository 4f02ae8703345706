#!/usr/bin/env bash
# The per-task cost of the task launcher: 200 compiles of a tiny file by make inside
# a ravelcon build (every compile a task through morvek-task) against the same make
# without ravelcon. Every object is checked after each run; prints the median of 5
# runs of each and the difference per compile, one compile at a time.
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

# Milliseconds of one clean build by the given command; fails unless every object was built.
timed() {
  rm -f "$work"/*.o
  local start end
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/last.log" >&2; exit 1; }
  end=$(date +%s%N)
  local built
  built=$(find "$work" -name '*.o' -size +0 | wc -l)
  [ "$built" -eq "$count" ] || { echo "only $built of $count objects built: $*" >&2; exit 1; }
  echo $(((end - start) / 1000000))
}
# The median of `runs` timed builds by the given command; fails if any build failed.
median() {
  local times=() t
  for _ in $(seq "$runs"); do
    t=$(timed "$@") || exit 1
    times+=("$t")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# One compile at a time on both sides: the figure is the added latency of a task.
bare=$(median make -s -j1 -C "$work") || exit 1
# The same job count: without /KEEPORIGJOBSNUM the build system raises -j to its rows.
inside=$(median "$ravelcon" /nologo /KEEPORIGJOBSNUM /COMMAND="make -s -j1 -C $work") || exit 1
echo "$count compiles, median of $runs runs: bare make ${bare} ms, inside ravelcon ${inside} ms"
if [ "$inside" -lt "$bare" ]; then
  # A faster build inside means its compiles did not all run one at a time through
  # the real compiler (a cache hit or parallel tasks): no launcher cost to report.
  echo "the build inside ravelcon was faster: no per-compile launcher cost can be derived" >&2
  exit 1
fi
echo "launcher cost per compile: $(((inside - bare) * 1000 / count)) us"

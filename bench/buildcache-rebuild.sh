#!/usr/bin/env bash
# The build cache on a real code base (bench/realcode-tree.sh: kernel/ mm/ fs/ of the
# Linux kernel): clean rebuilds fully restored from the cache, three kinds interleaved:
#   ccache   make with CC="ccache gcc" on the very store the build cache filled
#   local    through ravelcon with the build cache, restored from the local store
#   shared   through ravelcon with the local store emptied before the run: every result
#            comes from the agent's build-cache service (Redis)
# Every run is checked before it counts: exit code 0, every object built, and every
# compile restored (ccache's statistics for the first kind, the build's summary line for
# the others, which must also say that the shared cache served them for the third kind).
# Prints each run with the machine's load, then the medians and their ratios.
#   bench/buildcache-rebuild.sh [N]    (RUNS, default 5; REALCODE, the tree's folder;
#                                       CACHE_PORT, the service's port, default 47823)
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-cache-prefix"
jobs=${1:-$(nproc)}
runs=${RUNS:-5}
tree=$(bench/realcode-tree.sh "${REALCODE:-/var/tmp/morvek-realcode}" | head -1) || exit 1
BUILD_DIR="$BUILD_DIR" scripts/stage.sh "$prefix" >/dev/null || exit 1
# shellcheck source=/dev/null
. "$prefix/env.sh"
cachefolder="$TAVRIX_DATA_DIR/Morvek/BuildCache"
mkdir -p "$cachefolder"
rm -rf "$cachefolder/FileCache" "$cachefolder"/*.rdb
echo "{\"localRedisInstance\": {\"port\": ${CACHE_PORT:-47823}}}" >"$cachefolder/buildcache_service_config.json"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh
work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT
for _ in $(seq 100); do [ -s "$cachefolder/buildcache_service.pid" ] && break; sleep 0.1; done
[ -s "$cachefolder/buildcache_service.pid" ] || { echo "the build-cache service did not start" >&2; exit 1; }
store="$cachefolder/FileCache/u$(id -u)"

through_ravelcon() {
  "$ravelcon" /nologo /KEEPORIGJOBSNUM /BUILDCACHELOCAL=ON /COMMAND="make -s -C $tree -j$jobs"
}
# Fills the cache (and the page cache); tells how many objects a build makes.
make -s -C "$tree" clean >/dev/null
through_ravelcon >"$work/warmup.log" 2>&1 || { echo "warm-up build failed" >&2; tail -5 "$work/warmup.log" >&2; exit 1; }
objects=$(make -s -C "$tree" count)
[ "$objects" -ge 150 ] || { echo "only $objects objects in the tree" >&2; exit 1; }
grep -q "Build cache: 0 of" "$work/warmup.log" || { echo "the warm-up build did not use the cache" >&2; tail -3 "$work/warmup.log" >&2; exit 1; }

# Milliseconds of one clean build by the given command; fails unless it exited 0 and
# built every object.
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
ccache_alone() {
  CCACHE_DIR="$store" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_REMOTE_STORAGE= \
    make -s -C "$tree" -j"$jobs" CC="ccache gcc"
}
# Every compile of the last build through ravelcon was restored (from the shared cache
# when $1 says so).
all_restored() {
  local line n m
  line=$(grep -o 'Build cache: [0-9]* of [0-9]* tasks restored' "$work/last.log") || return 1
  n=$(echo "$line" | awk '{print $3}')
  m=$(echo "$line" | awk '{print $5}')
  [ "$n" -eq "$m" ] && [ "$n" -ge "$objects" ] || return 1
  [ "${1:-}" != shared ] || grep -q "Build cache: $n restored from the shared cache" "$work/last.log"
}

alone=()
local_=()
shared=()
for run in $(seq "$runs"); do
  CCACHE_DIR="$store" ccache -z >/dev/null
  t=$(timed ccache_alone) || exit 1
  hits=$(CCACHE_DIR="$store" ccache --print-stats | awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" {s += $2} END {print s + 0}')
  [ "$hits" -ge "$objects" ] || { echo "ccache alone restored only $hits of $objects objects" >&2; exit 1; }
  alone+=("$t")
  echo "run $run ccache alone: $t ms, $hits hits; $(uptime)"
  t=$(timed through_ravelcon) || exit 1
  all_restored || { echo "not every compile was restored: $(grep 'Build cache' "$work/last.log")" >&2; exit 1; }
  local_+=("$t")
  echo "run $run ravelcon, local store: $t ms, $(grep -o 'Build cache: [0-9]* of [0-9]*' "$work/last.log"); $(uptime)"
  rm -rf "$store"
  t=$(timed through_ravelcon) || exit 1
  all_restored shared || { echo "not every compile came from the shared cache: $(grep 'Build cache' "$work/last.log")" >&2; exit 1; }
  shared+=("$t")
  echo "run $run ravelcon, shared level only: $t ms; $(uptime)"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
a=$(median "${alone[@]}")
l=$(median "${local_[@]}")
s=$(median "${shared[@]}")
echo "$objects objects, make -j$jobs, fully restored clean rebuilds, median of $runs runs:"
echo "  ccache alone ${a} ms; through ravelcon ${l} ms (ratio $(echo "scale=3; $l / $a" | bc)); shared level only ${s} ms (ratio to local $(echo "scale=3; $s / $l" | bc))"
echo "load at the end: $(uptime)"

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
# Then cold builds through ravelcon, two kinds interleaved:
#   cache on   /BUILDCACHELOCAL=ON after /CLEARBUILDCACHE: every compile misses and is stored
#   cache off  the same build without the cache
# each checked likewise (no object restored and every one looked up for the first kind,
# no cache line and one task per object at least for the second); and, as the engine's
# own floor, two more kinds without ravelcon (COLD_ENGINE=0 leaves them out):
#   plain        make with CC=gcc
#   ccache cold  make with CC="ccache gcc" on an empty store of its own, with the
#                settings the build cache gives a kernel compile (depend mode, no
#                second level), at least one checked miss per object
# Prints each run with the machine's load, then the medians and their ratios.
#   bench/buildcache-rebuild.sh [N]    (RUNS, default 5; REALCODE, the tree's folder;
#                                       CACHE_PORT, the service's port, default 47823;
#                                       PARTS, default "rebuild cold")
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-cache-prefix"
jobs=${1:-$(nproc)}
runs=${RUNS:-5}
tree=$(bench/realcode-tree.sh "${REALCODE:-/var/tmp/morvek-realcode}" | sed -n 1p) || exit 1
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
  rm -f "$work/cache.mv_mon"
  "$ravelcon" /nologo /KEEPORIGJOBSNUM /BUILDCACHELOCAL=ON /MON="$work/cache.mv_mon" /COMMAND="make -s -C $tree -j$jobs"
}
# Fills the cache (and the page cache); tells how many objects a build makes.
make -s -C "$tree" clean >/dev/null
through_ravelcon >"$work/warmup.log" 2>&1 || { echo "warm-up build failed" >&2; tail -5 "$work/warmup.log" >&2; exit 1; }
objects=$(make -s -C "$tree" count)
[ "$objects" -ge 150 ] || { echo "only $objects objects in the tree" >&2; exit 1; }
grep -q "Build cache: [0-9]* of" "$work/warmup.log" || { echo "the warm-up build did not use the cache" >&2; tail -3 "$work/warmup.log" >&2; exit 1; }

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
# Every object's compile in the last build through ravelcon was restored (and as many
# from the shared cache when $1 says so). The build's own probes (a compile of stdin, a
# probe that fails) are no objects and cannot be restored.
restored_objects() {
  "$prefix/bin/morvek-monitor" "$work/cache.mv_mon" --trace "$work/cache.json" >/dev/null 2>&1 &&
    grep -oE '"cat":"restored","dur":[0-9]+,"name":"[^"]*\.[cS]"' "$work/cache.json" | wc -l
}
all_restored() {
  local n
  n=$(restored_objects)
  [ "${n:-0}" -ge "$objects" ] || return 1
  [ "${1:-}" != shared ] || [ "$(grep -o 'Build cache: [0-9]* restored from the shared cache' "$work/last.log" | awk '{print $3}')" -ge "$objects" ]
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
range() { printf '%s\n' "$@" | sort -n | sed -n '1p;$p' | paste -sd-; }
parts=${PARTS:-rebuild cold}

alone=()
local_=()
shared=()
[[ " $parts " == *" rebuild "* ]] || runs_rebuild=0
for run in $(seq "${runs_rebuild:-$runs}"); do
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
if [ ${#alone[@]} -gt 0 ]; then
  a=$(median "${alone[@]}")
  l=$(median "${local_[@]}")
  s=$(median "${shared[@]}")
  echo "$objects objects, make -j$jobs, fully restored clean rebuilds, median of $runs runs (min-max):"
  echo "  ccache alone ${a} ms ($(range "${alone[@]}")); through ravelcon ${l} ms ($(range "${local_[@]}")), ratio $(echo "scale=3; $l / $a" | bc)"
  echo "  shared level only ${s} ms ($(range "${shared[@]}")), ratio to the local store $(echo "scale=3; $s / $l" | bc)"
  echo "load: $(uptime)"
fi

[[ " $parts " == *" cold "* ]] || exit 0
tasks_of() {
  "$prefix/bin/morvek-monitor" "$1" --summary | sed -n 's/^Tasks: *\([0-9]*\).*/\1/p'
}
cold_on=()
cold_off=()
cold_plain=()
cold_alone=()
alone_store="$work/alone-store"
ccache_cold() {
  CCACHE_DIR="$alone_store" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_REMOTE_STORAGE= \
    CCACHE_DEPEND=1 make -s -C "$tree" -j"$jobs" CC="ccache gcc"
}
for run in $(seq "$runs"); do
  if [ "${COLD_ENGINE:-1}" != 0 ]; then
    t=$(timed make -s -C "$tree" -j"$jobs") || exit 1
    cold_plain+=("$t")
    echo "run $run cold, plain make: $t ms; $(uptime)"
    rm -rf "$alone_store"
    t=$(timed ccache_cold) || exit 1
    misses=$(CCACHE_DIR="$alone_store" ccache --print-stats | awk -F'\t' '$1 == "cache_miss" {print $2}')
    # The build's probes repeat (a repeat may hit); every object's compile misses.
    [ "${misses:-0}" -ge "$objects" ] ||
      { echo "ccache cold: ${misses:-no} misses for $objects objects" >&2; exit 1; }
    cold_alone+=("$t")
    echo "run $run cold, ccache alone: $t ms, $misses misses; $(uptime)"
  fi
  "$ravelcon" /nologo /CLEARBUILDCACHE >"$work/clear.log" 2>&1 || { echo "/CLEARBUILDCACHE failed" >&2; cat "$work/clear.log" >&2; exit 1; }
  t=$(timed through_ravelcon) || exit 1
  line=$(grep -o 'Build cache: [0-9]* of [0-9]* tasks restored' "$work/last.log")
  # A compile that the build repeats (its probes do) may be restored within the build.
  [ "$(restored_objects)" = 0 ] && [ "$(echo "$line" | awk '{print $5}')" -ge "$objects" ] ||
    { echo "the cold build was not a full miss: ${line:-no cache line}" >&2; exit 1; }
  cold_on+=("$t")
  echo "run $run cold, cache on: $t ms, $line; $(uptime)"
  rm -f "$work/off.mv_mon"
  t=$(timed "$ravelcon" /nologo /KEEPORIGJOBSNUM /MON="$work/off.mv_mon" /COMMAND="make -s -C $tree -j$jobs") || exit 1
  ! grep -q 'Build cache' "$work/last.log" || { echo "the build without the cache used it" >&2; exit 1; }
  tasks=$(tasks_of "$work/off.mv_mon")
  [ "${tasks:-0}" -ge "$objects" ] || { echo "the monitor file holds ${tasks:-no} tasks for $objects objects" >&2; exit 1; }
  cold_off+=("$t")
  echo "run $run cold, cache off: $t ms, $tasks tasks; $(uptime)"
done
on=$(median "${cold_on[@]}")
off=$(median "${cold_off[@]}")
echo "$objects objects, make -j$jobs, cold builds through ravelcon, median of $runs runs (min-max):"
echo "  cache on ${on} ms ($(range "${cold_on[@]}")); cache off ${off} ms ($(range "${cold_off[@]}")); ratio $(echo "scale=3; $on / $off" | bc)"
if [ ${#cold_plain[@]} -gt 0 ]; then
  p=$(median "${cold_plain[@]}")
  a=$(median "${cold_alone[@]}")
  echo "  without ravelcon: ccache alone ${a} ms ($(range "${cold_alone[@]}")); plain make ${p} ms ($(range "${cold_plain[@]}")); ratio $(echo "scale=3; $a / $p" | bc)"
fi
echo "load at the end: $(uptime)"

#!/usr/bin/env bash
# Distribution on a real code base (bench/realcode-tree.sh: kernel/ mm/ fs/ of the Linux
# kernel): two helper machines, each `morvek-agent --helper` with a prefix of its own in a
# network namespace this script makes (a veth pair per helper on a bridge, addresses in
# 10.0.0.0/8 chosen here), and three kinds of clean builds, interleaved:
#   local     make -j$LOCAL_JOBS on this machine alone
#   distcc    make -jN CC="distcc gcc", distcc choosing among this machine and the helpers
#   ravelcon  the same make -jN through ravelcon, whose agent knows the two helpers
# Every run is checked before it counts: exit code 0, every object built; for the
# distributed kinds every helper's distccd log shows compiles of that run, and the build
# through ravelcon has at least one task per object in its monitor file. Namespaces,
# links and processes are removed on exit, also on failure. Needs root.
#   bench/distcc-realcode.sh [N]    (N default 6: the rows of two local cores and two
#                                    helpers of two slots; RUNS default 3; LOCAL_JOBS
#                                    default nproc; REALCODE, the tree's folder; RUNS=0
#                                    checks the set-up only)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD_DIR=${BUILD_DIR:-build}
jobs=${1:-6}
runs=${RUNS:-3}
local_jobs=${LOCAL_JOBS:-$(nproc)}
[ "$(id -u)" -eq 0 ] || { echo "network namespaces need root" >&2; exit 1; }
tree=$(bench/realcode-tree.sh "${REALCODE:-/var/tmp/morvek-realcode}" | sed -n 1p) || exit 1

tag=$(($$ % 100000))
subnet="10.219.$((20 + $$ % 200))"
bridge="mvd${tag}b"
namespaces=()
helper_pids=()
helper_prefixes=()
agent=
work=$(mktemp -d)
cleanup() {
  local pid ns
  [ -n "$agent" ] && kill -TERM "$agent" 2>/dev/null && wait "$agent" 2>/dev/null
  for pid in "${helper_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  for ns in "${namespaces[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  ip link del "$bridge" 2>/dev/null
  for prefix in "${helper_prefixes[@]}"; do
    (. "$prefix/env.sh" && rm -rf "$TAVRIX_OBJECTS_DIR")
  done
  [ -n "${TAVRIX_OBJECTS_DIR:-}" ] && rm -rf "$TAVRIX_OBJECTS_DIR"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip link add "$bridge" type bridge || exit 1
ip addr add "$subnet.1/24" dev "$bridge" && ip link set "$bridge" up || exit 1
addresses=()
for i in 0 1; do
  ns="mvd${tag}n$i"
  address="$subnet.$((11 + i))"
  ip netns add "$ns" || exit 1
  namespaces+=("$ns")
  ip link add "mvd${tag}h$i" type veth peer name "mvd${tag}p$i" || exit 1
  ip link set "mvd${tag}p$i" netns "$ns" &&
    ip link set "mvd${tag}h$i" master "$bridge" &&
    ip link set "mvd${tag}h$i" up &&
    ip netns exec "$ns" ip addr add "$address/24" dev "mvd${tag}p$i" &&
    ip netns exec "$ns" ip link set "mvd${tag}p$i" up &&
    ip netns exec "$ns" ip link set lo up || exit 1
  addresses+=("$address")

  # The helper machine: a prefix of its own, its agent in helper mode in the namespace.
  hprefix="$BUILD_DIR/bench-helper$i-prefix"
  rm -rf "$hprefix/bin/Logs"
  BUILD_DIR="$BUILD_DIR" scripts/stage.sh "$hprefix" >/dev/null || exit 1
  hprefix=$(cd "$hprefix" && pwd)
  helper_prefixes+=("$hprefix")
  printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\n"HelperListen"="%s"\n"HelperAllow"="%s.0/24"\n' \
    "$address" "$subnet" >>"$hprefix/etc/machine.reg"
  (
    # shellcheck source=/dev/null
    . "$hprefix/env.sh"
    exec ip netns exec "$ns" "$hprefix/bin/morvek-agent" --helper
  ) >"$work/helper$i.out" 2>&1 &
  helper_pids+=($!)
done
reachable() { timeout 1 bash -c "exec 3<>/dev/tcp/$1/3632" 2>/dev/null; }
for address in "${addresses[@]}"; do
  for _ in $(seq 150); do reachable "$address" && break; sleep 0.1; done
  reachable "$address" || { echo "helper $address does not answer" >&2; cat "$work"/helper*.out >&2; exit 1; }
done

prefix="$BUILD_DIR/bench-dist-prefix"
AGENT_SETTINGS="\"Helpers\"=\"${addresses[0]} ${addresses[1]}\"
\"HelperProbeSeconds\"=dword:00000001"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh
trap cleanup EXIT
for _ in $(seq 300); do
  status=$("$prefix/bin/morvek-agent" --status)
  [ "$(grep -c ' up ' <<<"$status")" -eq 2 ] && ! grep -q unprobed <<<"$status" && break
  sleep 0.1
done
[ "$(grep -c ' up ' <<<"$status")" -eq 2 ] || { echo "the agent does not see both helpers up:" >&2; echo "$status" >&2; exit 1; }
grep -q "gcc: same compiler" <<<"$status" || { echo "the helpers' gcc was not found equal:" >&2; echo "$status" >&2; exit 1; }
[ "$runs" -gt 0 ] || { echo "helpers up (RUNS=0: no builds):"; echo "$status"; exit 0; }

compiles_on() { awk '/COMPILE_OK/ {n++} END {print n + 0}' <"${helper_prefixes[$1]}/bin/Logs/distccd.log" 2>/dev/null || echo 0; }
# Both helpers compiled during the last run (counts before it in $before0 $before1).
both_helpers_used() {
  local i now
  for i in 0 1; do
    now=$(compiles_on "$i")
    [ "$now" -gt "$(eval echo "\$before$i")" ] || { echo "helper $i compiled nothing: $*" >&2; return 1; }
  done
}

make -s -C "$tree" clean >/dev/null
make -s -C "$tree" -j"$local_jobs" >"$work/warmup.log" 2>&1 || { echo "warm-up build failed" >&2; tail -5 "$work/warmup.log" >&2; exit 1; }
objects=$(make -s -C "$tree" count)
[ "$objects" -ge 150 ] || { echo "only $objects objects in the tree" >&2; exit 1; }

timed() {
  make -s -C "$tree" clean >/dev/null
  local start end built
  before0=$(compiles_on 0)
  before1=$(compiles_on 1)
  start=$(date +%s%N)
  "$@" >"$work/last.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/last.log" >&2; return 1; }
  end=$(date +%s%N)
  built=$(make -s -C "$tree" count)
  [ "$built" -eq "$objects" ] || { echo "only $built of $objects objects built: $*" >&2; return 1; }
  echo $(((end - start) / 1000000)) >"$work/ms"
}
with_distcc() {
  rm -rf "$work/distcc"
  mkdir "$work/distcc"
  DISTCC_DIR="$work/distcc" DISTCC_HOSTS="localhost/$local_jobs ${addresses[0]}/2 ${addresses[1]}/2" \
    make -s -C "$tree" -j"$jobs" CC="distcc gcc"
}
tasks_of() {
  "$prefix/bin/morvek-monitor" "$1" --summary | sed -n 's/^Tasks: *\([0-9]*\).*/\1/p'
}

plain=() distcc=() inside=()
for run in $(seq "$runs"); do
  timed make -s -C "$tree" -j"$local_jobs" || exit 1
  plain+=("$(cat "$work/ms")")
  echo "run $run local make -j$local_jobs: ${plain[-1]} ms; $(uptime)"
  timed with_distcc || exit 1
  both_helpers_used distcc || exit 1
  distcc+=("$(cat "$work/ms")")
  echo "run $run distcc make -j$jobs: ${distcc[-1]} ms, helper compiles $(($(compiles_on 0) - before0)) + $(($(compiles_on 1) - before1)); $(uptime)"
  rm -f "$work/run.mv_mon"
  timed "$ravelcon" /nologo /KEEPORIGJOBSNUM /MON="$work/run.mv_mon" /COMMAND="make -s -C $tree -j$jobs" || exit 1
  both_helpers_used ravelcon || exit 1
  tasks=$(tasks_of "$work/run.mv_mon")
  [ -n "$tasks" ] && [ "$tasks" -ge "$objects" ] || { echo "the monitor file holds ${tasks:-no} tasks for $objects objects" >&2; exit 1; }
  inside+=("$(cat "$work/ms")")
  echo "run $run ravelcon make -j$jobs: ${inside[-1]} ms, $tasks tasks, helper compiles $(($(compiles_on 0) - before0)) + $(($(compiles_on 1) - before1)); $(uptime)"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
range() { printf '%s\n' "$@" | sort -n | sed -n '1p;$p' | paste -sd- ; }
p=$(median "${plain[@]}")
d=$(median "${distcc[@]}")
i=$(median "${inside[@]}")
echo "$objects objects, two helpers, median of $runs runs (min-max):"
echo "  local make -j$local_jobs ${p} ms ($(range "${plain[@]}")); distcc make -j$jobs ${d} ms ($(range "${distcc[@]}")); ravelcon make -j$jobs ${i} ms ($(range "${inside[@]}"))"
echo "  ravelcon / distcc $(echo "scale=3; $i / $d" | bc); ravelcon / local $(echo "scale=3; $i / $p" | bc)"
echo "load at the end: $(uptime)"

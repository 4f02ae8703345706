#!/usr/bin/env bash
# Tasks per second through the whole chain with a no-op tool: a job document of COUNT
# independent tasks of /bin/true run by twconsole (console, agent, build system, its
# scheduler on this machine's rows, a real process per task). Every run is checked before
# it counts: exit code 0 and, in its monitor file, COUNT tasks and COUNT built. Prints
# each run with the machine's load, then the median of RUNS runs.
#   bench/noop-tasks.sh    (COUNT default 2000, RUNS default 5; BUILD_DIR)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-prefix"
count=${COUNT:-2000}
runs=${RUNS:-5}
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh
work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT

{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<Build FormatVersion="1"><Environment Name="E"><Tool Name="noop" Path="/bin/true"/></Environment>'
  for p in $(seq 0 9); do
    echo "<Project Name=\"p$p\" Tool=\"noop\">"
    for t in $(seq "$p" 10 $((count - 1))); do echo "<Task Name=\"t$t\"/>"; done
    echo '</Project>'
  done
  echo '</Build>'
} >"$work/noop.xml"

rates=()
for run in $(seq "$runs"); do
  rm -f "$work/run.mv_mon"
  start=$(date +%s%N)
  "$prefix/bin/twconsole" "$work/noop.xml" /nologo /MON="$work/run.mv_mon" >"$work/last.log" 2>&1 ||
    { echo "the build failed" >&2; tail -5 "$work/last.log" >&2; exit 1; }
  end=$(date +%s%N)
  summary=$("$prefix/bin/morvek-monitor" "$work/run.mv_mon" --summary)
  grep -q "^Tasks: *$count\b" <<<"$summary" && grep -q "^Counts: *$count built, 0 skipped, 0 error" <<<"$summary" ||
    { echo "not every task ran:" >&2; echo "$summary" | head -8 >&2; exit 1; }
  ms=$(((end - start) / 1000000))
  rates+=("$((count * 1000 / ms))")
  echo "run $run: $count tasks in $ms ms, ${rates[-1]} tasks/s; $(uptime)"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
echo "$count no-op tasks through twconsole, median of $runs runs: $(median "${rates[@]}") tasks/s (min $(printf '%s\n' "${rates[@]}" | sort -n | head -1), max $(printf '%s\n' "${rates[@]}" | sort -n | tail -1))"

#!/usr/bin/env bash
# Whole-process timings of builds through the console, agent and build system of a
# private prefix, each the median of RUNS runs:
#   - the added cost of `ravelcon /COMMAND="true"` over running `true`;
#   - lines per second of a command printing 1,000,000 numbered lines (half to
#     standard error) through the whole chain, against the same command writing
#     straight into a pipe.
#   bench/build_timing.sh [RUNS]      (BUILD_DIR names the build directory)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-10}
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/timing-prefix"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh

# Median wall time in seconds of RUNS runs of the command given as arguments.
median() {
  local times=()
  for _ in $(seq "$RUNS"); do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=("$(((end - start) / 1000))e-6")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'
}

lines='awk '"'"'BEGIN { for (i = 1; i <= 1000000; i++) if (i % 2) print i; else print i > "/dev/stderr" }'"'"
direct() { sh -c "$lines" 2>&1 | cat >/dev/null; }
chained() { "$ravelcon" /nologo "/COMMAND=$lines" 2>&1 | cat >/dev/null; }

t_true=$(median true)
t_console=$(median "$ravelcon" /nologo /COMMAND=true)
t_direct=$(median direct)
t_chain=$(median chained)
awk -v a="$t_true" -v b="$t_console" -v d="$t_direct" -v c="$t_chain" 'BEGIN {
  printf "true                      %8.1f ms\n", a * 1000
  printf "ravelcon /COMMAND=true    %8.1f ms   (added %.1f ms)\n", b * 1000, (b - a) * 1000
  printf "1,000,000 lines, direct   %8.0f lines/s\n", 1e6 / d
  printf "1,000,000 lines, chain    %8.0f lines/s  (%.0f %% of direct)\n", 1e6 / c, 100 * d / c
}'

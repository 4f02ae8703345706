#!/usr/bin/env bash
# Whole-process timings of builds through the console, agent and build system of a
# private prefix, each the median of RUNS runs:
#   - the added cost of `ravelcon /COMMAND="true"` over running `true`;
#   - lines per second of a command printing 1,000,000 numbered lines (half to
#     standard error) through the whole chain, against the same command writing
#     straight into pipes.
# Every run is checked before a figure is printed: it must end with 0 and, for the
# line counts, deliver every line complete and in order on its own stream. A run
# that does not ends the script with an error and no figure.
#   bench/build_timing.sh [RUNS]      (BUILD_DIR names the build directory)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-10}
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/timing-prefix"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh

work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT
out="$work/out"
err="$work/err"

# Median wall time in seconds of RUNS runs of the command given as arguments, which
# writes to $out and $err; CHECK (a function name) verifies each run.
median() {
  local check=$1
  shift
  local times=()
  for _ in $(seq "$RUNS"); do
    local start end status=0
    start=$(date +%s%N)
    "$@" >"$out" 2>"$err" || status=$?
    end=$(date +%s%N)
    if [ "$status" -ne 0 ] || ! "$check"; then
      echo "build_timing: '$*' failed its check (exit $status); no figure printed" >&2
      head -c 2000 "$err" >&2 || true
      exit 1
    fi
    times+=("$(((end - start) / 1000))e-6")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'
}

# The odd numbers on standard output, the even ones on standard error, each stream in
# order (the console ends lines with CR LF).
seq 1 2 999999 >"$work/odd"
seq 2 2 1000000 >"$work/even"
all_lines() {
  tr -d '\r' <"$out" | cmp -s - "$work/odd" && tr -d '\r' <"$err" | cmp -s - "$work/even"
}
no_output() { [ ! -s "$out" ] && [ ! -s "$err" ]; }

lines='awk '"'"'BEGIN { for (i = 1; i <= 1000000; i++) if (i % 2) print i; else print i > "/dev/stderr" }'"'"

# Both streams of the command given as arguments go through pipes, as a build tool's
# output usually does (pipefail keeps its exit status).
piped() { { "$@" 2>&1 1>&3 3>&- | cat >&2 3>&-; } 3>&1 | cat; }

t_true=$(median no_output true)
t_console=$(median no_output "$ravelcon" /nologo /COMMAND=true)
t_direct=$(median all_lines piped sh -c "$lines")
t_chain=$(median all_lines piped "$ravelcon" /nologo "/COMMAND=$lines")
awk -v a="$t_true" -v b="$t_console" -v d="$t_direct" -v c="$t_chain" 'BEGIN {
  printf "true                      %8.1f ms\n", a * 1000
  printf "ravelcon /COMMAND=true    %8.1f ms   (added %.1f ms)\n", b * 1000, (b - a) * 1000
  printf "1,000,000 lines, direct   %8.0f lines/s   (all lines checked)\n", 1e6 / d
  printf "1,000,000 lines, chain    %8.0f lines/s   (all lines checked; %.0f %% of direct)\n", 1e6 / c, 100 * d / c
}'

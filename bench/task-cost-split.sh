#!/usr/bin/env bash
# Where the CPU of a task-level build goes: the compiles of bench/task-launcher.sh (COUNT
# tiny files, one at a time) by bare make and by make inside ravelcon, each recorded
# with perf. Every process is named by its program and the program that started it
# ("as < cc"); the CPU a new process spends before its exec, the cost of starting it,
# is shown apart ("start: cc < make"). The launcher is shown as [launcher] and left out
# of the names of the tools it starts, so that they compare with the bare build. The
# fixed cost of each side (make's start; the console, agent and build system) is spread
# over the compiles. Prints the CPU per compile of every row on both sides, and the
# totals (a single run: compare rows, not the noisy totals). Needs perf (Debian package linux-perf) and the right to record: run as root
# or with kernel.perf_event_paranoid <= 1.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
command -v perf >/dev/null || { echo "perf is not installed (Debian package linux-perf)" >&2; exit 2; }
BUILD_DIR=${BUILD_DIR:-build}
prefix="$BUILD_DIR/bench-prefix"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh

count=${COUNT:-200}
work=$(mktemp -d)
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR" "$work"' EXIT
for i in $(seq "$count"); do
  echo "int f$i(void) { return $i; }" >"$work/f$i.c"
done
cat >"$work/Makefile" <<'MAKE'
objects := $(patsubst %.c,%.o,$(wildcard *.c))
all: $(objects)
%.o: %.c
	cc -c -o $@ $<
MAKE

# One sample per 100 us of CPU.
period_us=100
# Records the build by the given command into $work/<name>.data; fails unless every
# object is there afterwards.
record() {
  local name=$1
  shift
  rm -f "$work"/*.o
  perf record -q -e task-clock -c $((period_us * 1000)) -o "$work/$name.data" -- "$@" \
    >"$work/$name.log" 2>&1 || { echo "build failed: $*" >&2; tail -5 "$work/$name.log" >&2; exit 1; }
  local built
  built=$(find "$work" -name '*.o' -size +0 | wc -l)
  [ "$built" -eq "$count" ] || { echo "only $built of $count objects built: $*" >&2; exit 1; }
}

# "row processes cpu_ms" lines of a recording, one per process row.
rows() {
  perf script -i "$work/$1.data" -F comm,pid,ip,dso --show-task-events --show-mmap-events 2>/dev/null | awk '
    # A name of two programs, the process and the one that started it.
    function shorten(name,   parts) {
      return split(name, parts, / < /) > 1 ? parts[1] " < " parts[2] : parts[1]
    }
    /PERF_RECORD_FORK\(/ {
      s = $0; sub(/.*PERF_RECORD_FORK\(/, "", s); split(s, a, /[():]+/)
      if (a[1] != a[2]) next # a thread: its samples carry the process ID
      parent[a[1]] = a[3]; self[a[1]] = self[a[3]]
      row[a[1]] = "start: " (a[3] in launcher ? "[launcher]" : self[a[3]]); procs[row[a[1]]]++
      next
    }
    # The launcher is known by its file; it is left out of the names of the tools it
    # starts, so that they compare with the bare build.
    /PERF_RECORD_MMAP/ && /\/morvek-task$/ {
      pid = $0; sub(/.*PERF_RECORD_MMAP2? /, "", pid); sub(/\/.*/, "", pid)
      if (!(pid in launcher)) {
        launcher[pid] = 1; procs[row[pid]]--
        row[pid] = "[launcher] < " above[pid]; procs[row[pid]]++
      }
      next
    }
    /PERF_RECORD_COMM exec: / {
      s = $0; sub(/.*PERF_RECORD_COMM exec: /, "", s)
      at = match(s, /:[0-9]+\/[0-9]+$/); comm = substr(s, 1, at - 1)
      pid = substr(s, at + 1); sub(/\/.*/, "", pid)
      p = parent[pid]
      if (p in launcher) p = parent[p]
      above[pid] = (p != "" && (p in self)) ? self[p] : ""
      self[pid] = shorten(comm (above[pid] != "" ? " < " above[pid] : ""))
      row[pid] = self[pid]; procs[row[pid]]++
      next
    }
    /PERF_RECORD/ { next }
    NF >= 3 {
      pid = $(NF - 2)
      if (!(pid in row)) { row[pid] = $1; self[pid] = $1; procs[$1]++ }
      samples[row[pid]]++
    }
    END {
      for (r in samples) {
        name = r
        gsub(/ /, "_", name)
        printf "%s %d %.1f\n", name, procs[r], samples[r] * '"$period_us"' / 1000
      }
    }'
}

make -s -j1 -C "$work" >/dev/null 2>&1 # warm-up: compiler and headers in the page cache
record bare make -s -j1 -C "$work"
record inside "$ravelcon" /nologo /KEEPORIGJOBSNUM /MON="$work/run.mv_mon" /COMMAND="make -s -j1 -C $work"
tasks=$("$prefix/bin/morvek-monitor" "$work/run.mv_mon" --summary | sed -n 's/^Tasks: *\([0-9]*\).*/\1/p')
[ "${tasks:-0}" -eq "$count" ] || { echo "the monitor file holds ${tasks:-no} tasks, not $count" >&2; exit 1; }

rows bare >"$work/bare.rows"
rows inside >"$work/inside.rows"
echo "CPU per compile (ms) of $count compiles, bare make and inside ravelcon; $(uptime)"
printf '%-46s %9s %9s %13s\n' process bare inside processes
awk -v count="$count" '
  FNR == 1 { side++ }
  { name = $1; gsub(/_/, " ", name); cpu[name, side] = $3; procs[name, side] = $2; names[name] = 1 }
  END {
    for (n in names) {
      printf "%-46s %9.3f %9.3f %6d/%-6d\n", n, cpu[n, 1] / count, cpu[n, 2] / count,
             procs[n, 1], procs[n, 2]
    }
  }' "$work/bare.rows" "$work/inside.rows" | sort -k1,1
awk -v count="$count" 'FNR == 1 { side++ } { total[side] += $3 }
  END { printf "total: bare %.3f ms, inside %.3f ms; added CPU per compile: %.3f ms\n",
        total[1] / count, total[2] / count, (total[2] - total[1]) / count }' \
  "$work/bare.rows" "$work/inside.rows"

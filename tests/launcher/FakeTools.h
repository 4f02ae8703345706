#pragma once
// A fake compiler for launcher and hook tests: its arguments choose its exit
// status (-DEXIT=n), a signal to die by (-DSIG=NAME), diagnostics (-DDIAG) and
// copying stdin (-DSTDIN); it reports the interception variables it sees.
#include <string>

namespace launchertest {

// A shell script's start that does what the build system does for its command: it names
// the shell's own output and error as the build's output, so that a launcher below
// sends what goes there to the build as its task's output.
inline const std::string AsBuildOutput =
    "export MORVEK_BUILD_OUTPUT=\"$(stat -Lc %d:%i /proc/$$/fd/1),"
    "$(stat -Lc %d:%i /proc/$$/fd/2)\"; ";
// Runs "$0" "$@" below such a start.
inline const std::string ExecAsBuildCommand = AsBuildOutput + "exec \"$0\" \"$@\"";

inline const std::string FakeCompiler = R"(#!/bin/sh
code=0; sig=
for a in "$@"; do
  case "$a" in
    -DEXIT=*) code=${a#-DEXIT=} ;;
    -DSIG=*) sig=${a#-DSIG=} ;;
    -DSTDIN) cat ;;
    -DDIAG) printf 'x.c:1:2: warning: unused x\nx.c:3:4: error: bad y\nx.c:5: fatal error: z.h: No such file\n' >&2 ;;
  esac
done
printf 'out: %s\n' "$*"
printf 'endpoint=%s preload=%s depth=%s foo=%s\n' "$MORVEK_TASK_ENDPOINT" "$LD_PRELOAD" "$MORVEK_TASK_DEPTH" "$FOO" >&2
[ -z "$sig" ] || kill -s "$sig" $$
case " $* " in *" -DSLEEP "*) : > started; exec sleep 30 ;; esac
exit $code
)";

// A prefix engine for tests: says so, then runs its arguments.
inline const std::string FakeWrapper = R"(#!/bin/sh
echo "wrapped: $1" >&2
exec "$@"
)";

} // namespace launchertest

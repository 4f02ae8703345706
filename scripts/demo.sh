#!/usr/bin/env bash
# The main job: builds everything, installs a private prefix and starts its local
# agent service, then shows the help screen, the agent status and the running
# builds, and runs builds through the console: a make project that builds, one that
# fails with a compile error (and the report page of that build, from its /MON
# copy), and a Visual Studio solution, which this system can only refuse. The agent
# is stopped at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
BUILD_DIR="$BUILD_DIR" scripts/setup.sh >/dev/null || exit 1
prefix="$BUILD_DIR/demo-prefix"
# shellcheck source=scripts/start-agent.sh
. scripts/start-agent.sh

echo "\$ ravelcon /?"
"$ravelcon" /?
echo "(exit code $?)"
echo
echo "\$ ravelcon /QUERYAGENTSTATUS"
"$ravelcon" /QUERYAGENTSTATUS
echo "(exit code $?)"
echo
echo "\$ ravelcon /LIST"
"$ravelcon" /LIST
echo "(exit code $?)"
echo
make -s -C examples/hello clean >/dev/null
make -s -C examples/broken clean >/dev/null
echo "\$ ravelcon /COMMAND=\"make -C examples/hello -j2\" /title=Hello"
"$ravelcon" /COMMAND="make -C examples/hello -j2" /title=Hello
echo "(exit code $?)"
echo "\$ examples/hello/hello"
examples/hello/hello
echo
echo "\$ ravelcon /COMMAND=\"make -C examples/broken -j2\" /nologo /exitcodebase=100 /MON=$prefix/broken.mv_mon"
"$ravelcon" /COMMAND="make -C examples/broken -j2" /nologo /exitcodebase=100 /MON="$prefix/broken.mv_mon"
echo "(exit code $?)"
echo
echo "\$ morvek-monitor $prefix/broken.mv_mon --summary -o $prefix/broken.html"
"$prefix/bin/morvek-monitor" "$prefix/broken.mv_mon" --summary -o "$prefix/broken.html"
echo "(exit code $?)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v xdg-open >/dev/null; then
  xdg-open "$prefix/broken.html" >/dev/null 2>&1 &
  echo "The build's report is open in the browser: $prefix/broken.html"
else
  echo "The build's report (open it in a browser): $prefix/broken.html"
fi
echo
echo "\$ ravelcon examples/hello/hello.sln /build \"Release|x64\" /nologo"
"$ravelcon" examples/hello/hello.sln /build "Release|x64" /nologo
echo "(exit code $?)"
make -s -C examples/hello clean >/dev/null
make -s -C examples/broken clean >/dev/null

#!/usr/bin/env bash
# The main job: builds everything, installs a private prefix and starts its local
# agent service, then shows the help screen, the agent status, the running builds
# and a build request. The agent is stopped at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
BUILD_DIR="$BUILD_DIR" scripts/setup.sh >/dev/null || exit 1
prefix="$BUILD_DIR/demo-prefix"
BUILD_DIR="$BUILD_DIR" scripts/stage.sh "$prefix" >/dev/null || exit 1
# shellcheck source=/dev/null
. "$prefix/env.sh"
ravelcon="$prefix/bin/ravelcon"

"$prefix/bin/morvek-agent" >/dev/null &
agent=$!
# The prefix's namespace is private to this demo: nothing of it outlives the run.
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR"' EXIT
# The agent is up once its status query answers.
for _ in $(seq 100); do
  "$ravelcon" /QUERYAGENTSTATUS /nologo | grep "Status: OK" >/dev/null && break
  sleep 0.05
done

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
echo "\$ ravelcon examples/hello/hello.sln /build \"Release|x64\" /title=Demo"
"$ravelcon" examples/hello/hello.sln /build "Release|x64" /title=Demo
echo "(exit code $?)"

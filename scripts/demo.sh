#!/usr/bin/env bash
# The main job, as far as it goes today: builds the console, shows its help screen,
# then asks it to build a solution. No local agent service runs yet, so the console
# refuses with its agent message and exit code 3.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
BUILD_DIR="$BUILD_DIR" scripts/setup.sh >/dev/null || exit 1
ravelcon="$BUILD_DIR/src/console/ravelcon"

echo "\$ ravelcon /?"
"$ravelcon" /?
echo "(exit code $?)"
echo
echo "\$ ravelcon examples/hello/hello.sln /build \"Release|x64\" /title=Demo"
"$ravelcon" examples/hello/hello.sln /build "Release|x64" /title=Demo
echo "(exit code $?)"

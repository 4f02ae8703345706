#!/usr/bin/env bash
# Installs the Debian packages the project needs (only what is missing), then
# configures and builds. BUILD_DIR (default build/) names the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build make gcc g++ clang libclang-rt-14-dev clang-format
          libgtest-dev googletest libbenchmark-dev liblz4-dev libpugixml-dev
          nlohmann-json3-dev redis-server chromium systemd dpkg-dev
          libcpp-httplib-dev)
# The build cache: ccache drives each compile, SQLite keeps task durations.
packages+=(ccache libsqlite3-dev)
# Distribution: distcc on initiators and helpers; an SSH server for the SSH transport's test.
packages+=(distcc openssh-server)
# bench/task-cost-split.sh records where a build's CPU goes.
packages+=(linux-perf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD_DIR" -j "$(nproc)"

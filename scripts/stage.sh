#!/usr/bin/env bash
# Builds and installs a complete, working prefix: the programs, info.dat with a
# fresh channel GUID, the registry hive PREFIX/etc/machine.reg with the agent's
# Builder values, the agent folder, and PREFIX/env.sh, which points the registry,
# the shared objects and the data folder at this prefix only.
#   scripts/stage.sh PREFIX        (BUILD_DIR names the build directory, default build/)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)

[ -f "$BUILD_DIR/build.ninja" ] || cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
targets=(ravelcon twconsole morvek-agent TulClient morvek-task MorvekHook morvek-monitor)
ninja -C "$BUILD_DIR" -t targets all | grep -q '^VaridAdeziz:' && targets+=(VaridAdeziz)
ninja -C "$BUILD_DIR" "${targets[@]}" >/dev/null
cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null

folder="$PREFIX/lib/morvek"
mkdir -p "$PREFIX/bin/Logs" "$PREFIX/etc" "$PREFIX/var" "$folder/Temp" "$folder/History/Local" \
         "$folder/resources" "$folder/FileCache"
# Every user's builds meet here, like in /tmp: each user keeps hand-off files in a
# 0700 folder of its own under Temp, and writes its own 0600 history files.
chmod 1777 "$folder/Temp" "$folder/History" "$folder/History/Local"
if [ -x "$BUILD_DIR/src/buildsys/VaridAdeziz" ]; then
  install -m 0755 "$BUILD_DIR/src/buildsys/VaridAdeziz" "$folder/VaridAdeziz"
fi

# One shared-object namespace per prefix.
objects="/dev/shm/tavrix-$(printf '%s' "$PREFIX" | sha1sum | cut -c1-12)"
cat > "$PREFIX/env.sh" <<ENV
# Source this to use the installation in $PREFIX.
export TAVRIX_REGISTRY_DIR="$PREFIX/etc"
export TAVRIX_OBJECTS_DIR="$objects"
export TAVRIX_DATA_DIR="$PREFIX/var"
export PATH="$PREFIX/bin:\$PATH"
ENV

"$PREFIX/bin/morvek-agent" --write-product-info "$PREFIX/bin/info.dat" >/dev/null

reg_text() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
cat > "$PREFIX/etc/machine.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]
"Folder"="$(reg_text "$folder")"
"TempDir"="$(reg_text "$folder/Temp")"
"HideWindow"=dword:00000001
"BuildSysPriorityClass"=dword:00000020
"UseMSBuild"=dword:00000000

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]
"AllowEnableDisable"=dword:00000001
"Enabled"=dword:00000001
"MaxConcurrentBuilds"=dword:00000004
"CoresPerBuild"=dword:00000001
"FileCacheDir"="$(reg_text "$folder/FileCache")"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Log]
"Level"=dword:00000001
REG

echo "$PREFIX"

#!/usr/bin/env bash
# Prepares a real C code base for build benchmarks: the Linux kernel shipped by
# Debian's linux-source-6.1 package, configured with `make tinyconfig`, of which
# kernel/, mm/ and fs/ are built (174 translation units, 32-bit x86). Idempotent: a
# tree already prepared in the folder is reused (about 8 minutes the first time).
# Usage: bench/realcode-tree.sh [FOLDER] (default /var/tmp/morvek-realcode)
#
# The folder gets a plain Makefile: `make -C FOLDER -jN` builds the objects,
# `make -C FOLDER clean` removes them again (the configuration and the generated
# headers stay), `make -C FOLDER count` prints the number of objects present (174
# after a complete build).
# It runs the compiler as `$(CC)` (default gcc) by bare name, so
# `ravelcon /COMMAND="make -C FOLDER -jN"` and `make -C FOLDER CC="distcc gcc"` work.
# Prints the folder on its first line and the build command for N jobs on its second.
set -euo pipefail

folder=${1:-/var/tmp/morvek-realcode}
tarball=/usr/src/linux-source-6.1.tar.xz
packages=(linux-source-6.1 make gcc flex bison bc xz-utils)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
tree="$folder/linux"
stamp="$folder/.prepared"

# Two steps, each with its own mark, so an interrupted run resumes where it stopped.
if [ ! -f "$folder/.extracted" ]; then
  rm -rf "$tree" "$tree.partial"
  mkdir "$tree.partial"
  tar -xJf "$tarball" -C "$tree.partial" --strip-components=1 >&2
  mv "$tree.partial" "$tree"
  touch "$folder/.extracted"
fi
if [ ! -f "$stamp" ]; then
  # The generated headers and host tools are built once here, not by every benchmark run.
  make -s -C "$tree" tinyconfig >&2
  make -s -C "$tree" -j"$(nproc)" prepare >&2
  touch "$stamp"
fi

cat >"$folder/Makefile" <<'MAKE'
# Builds kernel/ mm/ fs/ (174 objects) of the prepared tree; the -j of this make reaches the kernel's
# make through the job server, CC and V given on the command line reach it too.
dirs := kernel/ mm/ fs/
tree := $(CURDIR)/linux
.PHONY: all clean count
all:
	+$(MAKE) -C $(tree) $(dirs)
# Removes the objects and the kernel's per-object command records so the next build compiles all again.
clean:
	find $(addprefix $(tree)/,$(dirs)) \( -name '*.o' -o -name '*.a' -o -name '.*.cmd' -o -name 'modules.order' \) -delete
# The number of objects of a complete build (run after one).
count:
	@find $(addprefix $(tree)/,$(dirs)) -name '*.o' | wc -l
MAKE

echo "$folder"
echo "make -C $folder -jN"

#!/usr/bin/env bash
# check-install.sh BUILD_DIR HOST_SOURCE SCRATCH
set -euo pipefail
build="$1" host="$2" scratch="$3"
rm -rf "$scratch"
prefix="$scratch/prefix"

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
test -f "$prefix/include/liblumo.h"
lib="$(find "$prefix" -name 'liblumo.so*' -type f | head -n1)"
test -n "$lib"

# Only the public surface is exported: no internal class may appear.
symbols="$(nm -D --defined-only "$lib" | c++filt)"
grep -q 'liblumo::LibLumo::startChannel' <<<"$symbols"
grep -q 'liblumo::helpers::decValue' <<<"$symbols"
if grep -E 'liblumo::(Protocol|Exchange|ChannelRecord|com::)|TimeOut::' <<<"$symbols"; then
  echo "internal symbols are exported" >&2
  exit 1
fi

# CMake package.
cmake -S "$host" -B "$scratch/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-host" >/dev/null
LD_LIBRARY_PATH="$(dirname "$lib")" "$scratch/cmake-host/tiny-host" | grep -q '^000-001-234$'

# pkg-config.
pcdir="$(dirname "$(find "$prefix" -name liblumo.pc | head -n1)")"
flags="$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs liblumo)"
# shellcheck disable=SC2086
g++ -std=c++17 -fPIC "$host/main.cpp" -o "$scratch/pc-host" $flags
LD_LIBRARY_PATH="$(dirname "$lib")" "$scratch/pc-host" | grep -q '^000-001-234$'
echo "install: package, pkg-config and exported symbols are fine"

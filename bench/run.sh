#!/usr/bin/env bash
# Builds lumo-bench in Release (build-bench-release) and prints its one table.
# Extra arguments go to lumo-bench (for example --rounds 9 or --quick).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build-bench-release"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DLUMO_BUILD_TOOLS=ON -DLUMO_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "${LUMO_JOBS:-2}" --target lumo-bench >/dev/null
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "command: bench/run.sh $*"
exec "$BUILD/bench/lumo-bench" "$@"

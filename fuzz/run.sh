#!/bin/sh
# Builds the protocol fuzzer with clang, libFuzzer, ASan and UBSan, then runs it.
#   fuzz/run.sh [seconds]        (default 60)
# LUMO_FUZZ_BUILD picks the build directory (default build-fuzz beside fuzz/). New inputs
# the fuzzer finds go to <build>/fuzz-corpus; crashes to <build>/fuzz-artifacts.
set -eu
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${LUMO_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_FUZZ=ON -DLUMO_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DLUMO_BUILD_TOOLS=OFF -DLUMO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_protocol

mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts"
exec "$build/fuzz/fuzz_protocol" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/" \
    "$build/fuzz-corpus" "$here/corpus"

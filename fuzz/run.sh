#!/bin/sh
# Builds a fuzz target with clang, libFuzzer, ASan and UBSan, then runs it.
#   fuzz/run.sh [seconds] [protocol|simreader|params] [libFuzzer flags...]
#                                                      (default: 60 protocol)
#     protocol   the library's link layer and commands, fed device bytes
#     simreader  lumo-sim's reader of host frames, fed host bytes through a pipe
#     params     lumo-collect's parameter JSON parser
# LUMO_FUZZ_BUILD picks the build directory (default build-fuzz beside fuzz/). New inputs
# the fuzzer finds go to <build>/fuzz-corpus/<target>; crashes to <build>/fuzz-artifacts/<target>.
set -eu
seconds=${1:-60}
target=${2:-protocol}
[ $# -gt 2 ] && shift 2 || set --
extra="$*" # e.g. -runs=10000000; plain words only
# Longer than the largest frame each side may send (the device's answers fill the
# library's 10 KiB buffer, the host sends at most 4 KiB of data); the sim reader takes
# noise a byte and two system calls at a time, so its inputs stay short.
case $target in
protocol) max_len=16384 ;;
simreader) max_len=4608 ;;
params) max_len=4096 ;;
*)
    echo "usage: $0 [seconds] [protocol|simreader|params]" >&2
    exit 2
    ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${LUMO_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_FUZZ=ON -DLUMO_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DLUMO_BUILD_TOOLS=OFF -DLUMO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "fuzz_$target"

corpus="$build/fuzz-corpus/$target"
artifacts="$build/fuzz-artifacts/$target"
mkdir -p "$corpus" "$artifacts"
# One input frees far less than 32 MiB, so a quarantine of that size still catches every
# use after free within an input; the default 256 MiB makes most allocations fault in a
# fresh page, which costs about a third of the speed. Allocation stacks of 5 frames save
# another quarter; run a crash file again without ASAN_OPTIONS for the full stacks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32:malloc_context_size=5}"
if [ "$target" = params ]; then
    # Qt's JSON parser leaks on a key named twice (lsan.supp), and telling that leak apart
    # takes full allocation stacks through Qt, which cut the speed a hundredfold. The
    # parser owns nothing by hand, so its fuzzing checks memory errors, not leaks; the
    # corpus replay under the sanitizers checks leaks with the suppression.
    extra="-detect_leaks=0 $extra"
fi
set -- -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/"
if [ -f "$here/$target.dict" ]; then
    set -- "$@" -dict="$here/$target.dict"
fi
# shellcheck disable=SC2086 # extra is a list of flags
exec "$build/fuzz/fuzz_$target" "$@" $extra "$corpus" "$here/corpus/$target"

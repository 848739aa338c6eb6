#!/usr/bin/env bash
# Builds the library, its tools and tests under the sanitizers and runs them:
#   asan  (AddressSanitizer + UndefinedBehaviorSanitizer): the whole suite except the
#         long soak runs, including the fuzz corpus replay;
#   tsan  (ThreadSanitizer): the tests that run real threads end to end.
# Any sanitizer report fails the run. Usage: scripts/sanitize.sh [asan] [tsan]
# (both when no argument is given). LUMO_JOBS sets build parallelism (default 2),
# LUMO_TEST_JOBS test parallelism (default 4: most tests wait on sockets, not the CPU).
# With both, the TSan tree builds while the ASan tests run.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${LUMO_JOBS:-2}
TEST_JOBS=${LUMO_TEST_JOBS:-4}
# Wall-clock budgets in seconds, so a hang under a sanitizer cannot eat the CI run.
ASAN_TEST_BUDGET=${LUMO_ASAN_TEST_BUDGET:-1500}
TSAN_TEST_BUDGET=${LUMO_TSAN_TEST_BUDGET:-1200}
# Areas whose tests run several threads against each other (channel and exchange threads,
# host threads, the simulator) and are therefore worth ThreadSanitizer's slowdown.
TSAN_AREAS=${LUMO_TSAN_AREAS:-"channels exchange transports e2e collect soak-short"}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
TSAN_SUPPRESSIONS="$ROOT/scripts/tsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4"
if [[ -f "$TSAN_SUPPRESSIONS" ]]; then
    TSAN_OPTIONS+=":suppressions=$TSAN_SUPPRESSIONS"
fi

log() { printf '\n== sanitize: %s\n' "$*"; }

configure_and_build() { # preset [targets...]
    local preset=$1
    shift
    log "configure $preset"
    (cd "$ROOT" && cmake --preset "$preset" -DLUMO_WERROR="${LUMO_WERROR:-OFF}" >/dev/null)
    log "build $preset ${*:-(all)}"
    if [[ $# -gt 0 ]]; then
        cmake --build "$ROOT/build-$preset" -j "$JOBS" --target "$@"
    else
        cmake --build "$ROOT/build-$preset" -j "$JOBS"
    fi
}

# Labels that the tree registered, one a line.
labels_of() { # builddir
    ctest --test-dir "$1" --print-labels 2>/dev/null | sed -n 's/^  *//p' | sort -u
}

run_asan() {
    configure_and_build asan
    run_asan_tests
}

run_asan_tests() {
    # The install check builds a plain (uninstrumented) host against the instrumented
    # library, which the ASan runtime refuses to load; it runs in the normal build.
    log "asan: whole suite without the long soak and simulation runs and the install check"
    timeout --signal=TERM --kill-after=30 "$ASAN_TEST_BUDGET" \
        ctest --test-dir "$ROOT/build-asan" --output-on-failure --no-tests=error \
        --label-exclude '^(soak|install|simulation-long)$' --timeout 600 -j "$TEST_JOBS"
}

# Configures the TSan tree and prints the targets its areas need, one a line.
tsan_targets() {
    (cd "$ROOT" && cmake --preset tsan -DLUMO_WERROR="${LUMO_WERROR:-OFF}" >/dev/null)
    local area tool
    for area in $TSAN_AREAS; do
        [[ -d "$ROOT/tests/${area%-short}" ]] && echo "test_${area%-short}"
    done
    for tool in lumo-sim; do
        if ninja -C "$ROOT/build-tsan" -t targets all 2>/dev/null | grep -q "^$tool:"; then
            echo "$tool"
        fi
    done
}

build_tsan() {
    local targets
    mapfile -t targets < <(tsan_targets)
    if [[ ${#targets[@]} -eq 0 ]]; then
        echo "sanitize: none of the areas '$TSAN_AREAS' exists under tests/" >&2
        return 1
    fi
    log "build tsan ${targets[*]}"
    cmake --build "$ROOT/build-tsan" -j "$JOBS" --target "${targets[@]}"
}

test_tsan() {
    local regex=() area
    for area in $TSAN_AREAS; do
        [[ -d "$ROOT/tests/${area%-short}" ]] && regex+=("$area")
    done
    local pattern
    pattern="^($(IFS='|'; echo "${regex[*]}"))\$"
    log "tsan: labels $pattern"
    timeout --signal=TERM --kill-after=30 "$TSAN_TEST_BUDGET" \
        ctest --test-dir "$ROOT/build-tsan" --output-on-failure --no-tests=error \
        --label-regex "$pattern" --timeout 900 -j "$TEST_JOBS"
}

run_tsan() {
    build_tsan
    test_tsan
}

# Both, with the TSan build overlapping the ASan tests (which mostly wait on sockets).
run_both() {
    configure_and_build asan
    local build_log="$ROOT/build-tsan/build.log" status=0
    mkdir -p "$ROOT/build-tsan"
    build_tsan >"$build_log" 2>&1 &
    local builder=$!
    run_asan_tests || status=$?
    if ! wait "$builder"; then
        cat "$build_log"
        echo "sanitize: the TSan build failed" >&2
        return 1
    fi
    tail -n 3 "$build_log"
    [[ $status -eq 0 ]] || return "$status"
    test_tsan
}

main() {
    local what=("$@")
    local start=$SECONDS item
    if [[ ${#what[@]} -eq 0 ]]; then
        run_both
        log "done in $((SECONDS - start)) s"
        return
    fi
    for item in "${what[@]}"; do
        case "$item" in
        asan) run_asan ;;
        tsan) run_tsan ;;
        *)
            echo "usage: $0 [asan] [tsan]" >&2
            return 2
            ;;
        esac
    done
    log "done in $((SECONDS - start)) s"
}

main "$@"

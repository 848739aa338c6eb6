#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite but the long soak
# and simulation runs: under the sanitizers (scripts/sanitize.sh) what can run there, the
# rest in the plain build. LUMO_SKIP_SANITIZERS=1 runs everything in the plain build instead.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUMO_BUILD_DIR:-$here/build}"

# Every tree the tests build treats every warning as an error.
export LUMO_WERROR=ON

if [ -x "$here/scripts/sanitize.sh" ] && [ "${LUMO_SKIP_SANITIZERS:-0}" != 1 ]; then
  # The tests themselves are compiled (and their warnings checked) in the sanitizer trees;
  # the plain tree builds what its own tests and the demo use.
  LUMO_BUILD_TARGETS="lumo lumo_python lumo-sim lumo-collect lumo-bench lumo-example-host lumo-simulate" "$here/scripts/setup.sh"
  cd "$build_dir"
  # Every test that can run instrumented runs under AddressSanitizer (scripts/sanitize.sh);
  # the plain build runs the rest: the install check and the Python module, which an
  # instrumented library cannot serve, and the fault simulation's 200 000 runs, which
  # would take the sanitizers too long (they run a shorter one).
  ctest --output-on-failure -j"$(nproc)" -L '^(install|python|simulation)$' --timeout 600
  "$here/scripts/sanitize.sh"
else
  "$here/scripts/setup.sh"
  cd "$build_dir"
  ctest --output-on-failure -j"$(nproc)" -LE '^(soak|simulation-long)$' --timeout 600
fi

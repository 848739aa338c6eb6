#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite but the long soak
# runs: under the sanitizers (scripts/sanitize.sh) what can run there, the rest in the
# plain build. LUMO_SKIP_SANITIZERS=1 runs everything in the plain build instead.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUMO_BUILD_DIR:-$here/build}"

# The test build treats every warning as an error.
LUMO_WERROR=ON "$here/scripts/setup.sh"

cd "$build_dir"
if [ -x "$here/scripts/sanitize.sh" ] && [ "${LUMO_SKIP_SANITIZERS:-0}" != 1 ]; then
  # Every test that can run instrumented runs under AddressSanitizer (scripts/sanitize.sh);
  # the plain build runs the rest: the install check and the Python module, which an
  # instrumented library cannot serve.
  ctest --output-on-failure -j"$(nproc)" -L '^(install|python)$' --timeout 600
  "$here/scripts/sanitize.sh"
else
  ctest --output-on-failure -j"$(nproc)" -LE '^soak$' --timeout 600
fi

#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite: every CTest test
# but the long soak runs, then the sanitizer builds (scripts/sanitize.sh) when present.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUMO_BUILD_DIR:-$here/build}"

# The test build treats every warning as an error.
LUMO_WERROR=ON "$here/scripts/setup.sh"

cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" -LE '^soak$' --timeout 600

if [ -x "$here/scripts/sanitize.sh" ] && [ "${LUMO_SKIP_SANITIZERS:-0}" != 1 ]; then
  "$here/scripts/sanitize.sh"
fi

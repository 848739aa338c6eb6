#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build liblumo, then builds it into
# build/ (or $LUMO_BUILD_DIR). Quick when everything is already there.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${LUMO_BUILD_DIR:-$here/build}"

packages=(
  build-essential cmake ninja-build pkg-config ccache lld
  qtbase5-dev libqt5serialport5-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsqlite3-dev sqlite3
  libpq-dev postgresql haproxy python3-psycopg2
  libcpp-httplib-dev
  clang libclang-rt-14-dev
  librsvg2-bin
  prometheus chromium chromium-driver python3-selenium curl
  libtomlplusplus-dev libhdf5-dev python3-h5py systemd
  pybind11-dev python3-dev python3-numpy python3-pytest python3-pandas
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${LUMO_BUILD_TYPE:-RelWithDebInfo}" \
  -DLUMO_WERROR="${LUMO_WERROR:-OFF}" ${LUMO_CMAKE_ARGS:-} >/dev/null
# LUMO_BUILD_TARGETS (space-separated) builds only those targets instead of everything.
read -r -a targets <<<"${LUMO_BUILD_TARGETS:-all}"
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]}"

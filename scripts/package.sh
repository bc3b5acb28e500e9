#!/usr/bin/env bash
# Makes the Debian package build-deb/kelvorn-panel_<version>_<arch>.deb (built for the prefix /usr
# with Debian's hardening flags, without the tests) and prints its path. Install it with
#   sudo apt install ./build-deb/kelvorn-panel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-deps.sh
kelvorn_ensure_deps package >&2

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKELVORN_DEB=ON \
  -DKELVORN_TESTS=OFF -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-deb -j"$(nproc)" >/dev/null
rm -f build-deb/kelvorn-panel_*.deb
(cd build-deb && cpack >/dev/null)
ls build-deb/kelvorn-panel_*.deb

#!/usr/bin/env bash
# Makes the Debian packages in build-deb (built for the prefix /usr with Debian's hardening flags,
# without the tests) and prints their paths, one a line, in this order:
#   kelvorn-common_<version>_all.deb     the udev rules and the group kelvorn, which all others need
#   kelvorn-io_<version>_<arch>.deb      kelvorn-io, no Qt
#   kelvorn-mqtt_<version>_<arch>.deb    kelvorn-mqtt and its service, no Qt
#   kelvorn-panel_<version>_<arch>.deb   the two windowed programs; brings kelvorn-io and kelvorn-mqtt
#   python3-kelvorn_<version>_<arch>.deb the Python package kelvorn, no Qt
# Install what a machine needs with its dependencies, say a desktop's panel or a lab box's bridge:
#   apt install ./build-deb/kelvorn-common_*.deb ./build-deb/kelvorn-panel_*.deb ...   (sudo apt ...)
#
# The packages are reproducible: the same sources give the same bytes in any folder at any time.
# SOURCE_DATE_EPOCH, unless set already, is the last commit's time in a git checkout of this tree,
# else the date of the changelog entry; it dates the changelog and every file in the archives.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ensure-deps.sh
kelvorn_ensure_deps package >&2

if [ -z "${SOURCE_DATE_EPOCH-}" ]; then
  if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$PWD" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  else
    written=$(sed -n 's/^ -- .*  //p' packaging/changelog.in | head -n 1)
    SOURCE_DATE_EPOCH=$(date -d "${written:?no date in packaging/changelog.in}" +%s)
  fi
fi
export SOURCE_DATE_EPOCH
# fixfilepath maps this folder to "." in the programs (debug info and __FILE__, hence the build id).
export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=+all"
# ccache's base folder would hand the compiler relative source paths, which the map does not cover.
unset CCACHE_BASEDIR
# Day and month names in the changelog, and any tool's sort order, do not follow the packager's
# locale.
export LC_ALL=C.UTF-8
# The archive's members and folders get their modes from the umask. The build starts afresh, so that
# nothing an earlier build left (Qt's resources dated by another commit, say) gets into the package.
umask 022
rm -rf build-deb

cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKELVORN_DEB=ON \
  -DKELVORN_TESTS=OFF -DKELVORN_WERROR=ON -DKELVORN_PYTHON=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-deb -j"$(nproc)" >/dev/null
(cd build-deb && cpack >/dev/null)
for name in kelvorn-common kelvorn-io kelvorn-mqtt kelvorn-panel python3-kelvorn; do
  ls build-deb/${name}_*.deb
done

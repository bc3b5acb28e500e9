#!/usr/bin/env bash
# Makes the Debian packages build-deb/kelvorn-panel_<version>_<arch>.deb and
# build-deb/python3-kelvorn_<version>_<arch>.deb (built for the prefix /usr with Debian's hardening
# flags, without the tests) and prints their paths, one a line, kelvorn-panel's first. Install with
#   apt install ./build-deb/kelvorn-panel_*.deb [./build-deb/python3-kelvorn_*.deb]   (sudo apt ...)
#
# The package is reproducible: the same sources give the same bytes in any folder at any time.
# SOURCE_DATE_EPOCH, unless set already, is the last commit's time in a git checkout of this tree,
# else the date of the changelog entry; it dates the changelog and every file in the archive.
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
ls build-deb/kelvorn-panel_*.deb build-deb/python3-kelvorn_*.deb

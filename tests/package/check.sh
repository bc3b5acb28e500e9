#!/usr/bin/env bash
# Checks the Debian package: its files, its dependencies and lintian; then, as root on a machine
# where it is not installed yet, installs it, checks what it put in place and purges it again.
# Usage: check.sh DEB VERSION. Prints "package: N passed" last; stops at the first failure.
set -euo pipefail
deb=$(realpath "$1")
version=$2
passed=0
check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    echo "FAIL: $what" >&2
    exit 1
  fi
}

expected="./usr/bin/kelvorn-io
./usr/bin/kelvorn-panel
./usr/bin/kelvorn-panel-sim
./usr/lib/udev/rules.d/70-kelvorn-ftdi.rules
./usr/share/applications/kelvorn-panel-sim.desktop
./usr/share/applications/kelvorn-panel.desktop
./usr/share/doc/kelvorn-panel/changelog.Debian.gz
./usr/share/doc/kelvorn-panel/copyright
./usr/share/icons/hicolor/scalable/apps/kelvorn-panel.svg
./usr/share/lintian/overrides/kelvorn-panel
./usr/share/man/man1/kelvorn-io.1.gz
./usr/share/man/man1/kelvorn-panel-sim.1.gz
./usr/share/man/man1/kelvorn-panel.1.gz"
files_are_expected() {
  diff -u <(echo "$expected") <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
}
check "the package holds exactly the programs, desktop entries, icon, udev rule and docs" \
  files_are_expected

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
has_versioned_depends() {  # dpkg-shlibdeps writes each library with its minimum version
  local lib
  for lib in "$@"; do grep -Eq "(^|, )$lib \(>= [^)]+\)(,|$)" <<<"$depends" || return 1; done
}
check "dpkg-shlibdeps' dependencies on Qt 6 Widgets, libftdi1 and libusb" \
  has_versioned_depends libqt6widgets6 libftdi1-2 'libusb-1\.0-0'
check "the package's version is $version-1" test "$(dpkg-deb -f "$deb" Version)" = "$version-1"
check "lintian finds no errors or warnings" lintian --fail-on error,warning "$deb"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, so the package is not installed and checked on this machine"
elif dpkg-query -W -f='${Status}' kelvorn-panel 2>/dev/null | grep -q "ok installed"; then
  echo "package: kelvorn-panel is installed on this machine already, so the install is not tried"
else
  trap 'apt-get purge -y -q kelvorn-panel >/dev/null 2>&1 || true' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >/dev/null
  for program in kelvorn-panel kelvorn-panel-sim kelvorn-io; do
    check "installed $program --version answers" \
      test "$(/usr/bin/$program --version)" = "$program $version"
  done
  check "desktop-file-validate passes on the installed entries" desktop-file-validate \
    /usr/share/applications/kelvorn-panel.desktop /usr/share/applications/kelvorn-panel-sim.desktop
  check "the udev rule is in /usr/lib/udev/rules.d, where udev reads it" \
    cmp udev/70-kelvorn-ftdi.rules /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvorn-panel >/dev/null
  trap - EXIT
  gone() { ! dpkg-query -W kelvorn-panel >/dev/null 2>&1 && [ ! -e /usr/bin/kelvorn-panel ] &&
    [ ! -e /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules ]; }
  check "purging removes the package and its files" gone
fi
echo "package: $passed passed"

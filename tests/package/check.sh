#!/usr/bin/env bash
# Checks the Debian package: its files, its dependencies, its licence, its AppStream metainfo and
# lintian; that a second build of the same sources (rebuild.sh) gave the same bytes; then, as root
# on a machine where it is not installed yet, installs it, checks what it put in place and purges it
# again. Usage: check.sh DEB VERSION [REBUILT_DEB]. Prints "package: N passed" last; stops at the
# first failure.
set -euo pipefail
deb=$(realpath "$1")
version=$2
rebuilt=${3:+$(realpath "$3")}
cd "$(dirname "$0")/../.."
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

# Each program comes with its manual page; the desktop programs (by AppStream id) with a desktop
# entry and a metainfo file named after that id.
programs=(kelvorn-panel kelvorn-panel-sim kelvorn-io)
desktop_ids=(org.example.kelvorn_panel org.example.kelvorn_panel_sim)
expected=$(
  for program in "${programs[@]}"; do
    echo "./usr/bin/$program"
    echo "./usr/share/man/man1/$program.1.gz"
  done
  for id in "${desktop_ids[@]}"; do
    echo "./usr/share/applications/$id.desktop"
    echo "./usr/share/metainfo/$id.metainfo.xml"
  done
  echo "./usr/lib/udev/rules.d/70-kelvorn-ftdi.rules
./usr/share/doc/kelvorn-panel/changelog.Debian.gz
./usr/share/doc/kelvorn-panel/copyright
./usr/share/icons/hicolor/scalable/apps/kelvorn-panel.svg
./usr/share/lintian/overrides/kelvorn-panel"
)
expected=$(sort <<<"$expected")
files_are_expected() {
  diff -u <(echo "$expected") <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
}
check "the package holds exactly the programs, desktop entries, metainfo, icon, udev rule and docs" \
  files_are_expected

if [ -n "$rebuilt" ]; then
  same_bytes() {
    cmp "$deb" "$rebuilt" && return 0
    # What differs: the files (by the md5sums in control.tar) and their modes, owners and times.
    diff <(dpkg-deb -I "$deb" md5sums) <(dpkg-deb -I "$rebuilt" md5sums) >&2
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$rebuilt") >&2
    return 1
  }
  check "a second build in another folder, later, gives the same bytes" same_bytes
fi

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
appstream_clean() {  # not even a pedantic hint
  local report
  report=$(appstreamcli validate-tree --no-net --pedantic --strict "$tree") || { echo "$report"; return 1; }
  ! grep -E '^ *[EWIP]: ' <<<"$report"
}
check "AppStream: the metainfo files validate, with their desktop entries, without a hint" \
  appstream_clean
releases_match() {  # the newest release in each metainfo file is this version
  local file
  for file in "$tree"/usr/share/metainfo/*.xml; do
    grep -m 1 '<release ' "$file" | grep -q "version=\"$version\"" || return 1
  done
}
check "the metainfo files' newest release is $version" releases_match
licence_is_mit() {  # machine-readable copyright, Expat, with LICENSE's text
  local copyright=$tree/usr/share/doc/kelvorn-panel/copyright
  head -n 1 "$copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
    grep -qx 'License: Expat' "$copyright" &&
    diff <(sed -n '/^Permission/,$p' LICENSE) \
      <(sed -n '/^ Permission/,$p' "$copyright" | sed 's/^ //; s/^\.$//')
}
check "the copyright file is machine-readable, Expat, with LICENSE's text" licence_is_mit

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
has_versioned_depends() {  # dpkg-shlibdeps writes each library with its minimum version
  local lib
  for lib in "$@"; do grep -Eq "(^|, )$lib \(>= [^)]+\)(,|$)" <<<"$depends" || return 1; done
}
check "dpkg-shlibdeps' dependencies on Qt 6 Widgets, libftdi1 and libusb" \
  has_versioned_depends libqt6widgets6 libftdi1-2 'libusb-1\.0-0'
check "the package's version is $version-1" test "$(dpkg-deb -f "$deb" Version)" = "$version-1"
check "lintian finds no errors or warnings" lintian --pedantic --fail-on error,warning "$deb"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, so the package is not installed and checked on this machine"
elif dpkg-query -W -f='${Status}' kelvorn-panel 2>/dev/null | grep -q "ok installed"; then
  echo "package: kelvorn-panel is installed on this machine already, so the install is not tried"
else
  trap 'apt-get purge -y -q kelvorn-panel >/dev/null 2>&1 || true; rm -rf "$tree"' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >/dev/null
  for program in "${programs[@]}"; do
    check "installed $program --version answers" \
      test "$(/usr/bin/$program --version)" = "$program $version"
  done
  for id in "${desktop_ids[@]}"; do
    check "desktop-file-validate passes on the installed $id.desktop" \
      desktop-file-validate "/usr/share/applications/$id.desktop"
  done
  check "the udev rule is in /usr/lib/udev/rules.d, where udev reads it" \
    cmp udev/70-kelvorn-ftdi.rules /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvorn-panel >/dev/null
  trap 'rm -rf "$tree"' EXIT
  gone() { ! dpkg-query -W kelvorn-panel >/dev/null 2>&1 && [ ! -e /usr/bin/kelvorn-panel ] &&
    [ ! -e /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules ]; }
  check "purging removes the package and its files" gone
fi
echo "package: $passed passed"

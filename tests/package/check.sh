#!/usr/bin/env bash
# Checks the Debian packages kelvorn-panel and python3-kelvorn: their files, the conffile, their
# dependencies, the licence, the AppStream metainfo, kelvorn-mqtt's unit and config file, and
# lintian; that a second build of the same sources (rebuild.sh) gave the same bytes; then, as root
# on a machine where they are not installed yet, installs them, checks what they put in place and
# purges them again. Usage: check.sh DEB PYTHON_DEB VERSION [REBUILT_DEB REBUILT_PYTHON_DEB].
# Prints "package: N passed" last; stops at the first failure.
set -euo pipefail
deb=$(realpath "$1")
pydeb=$(realpath "$2")
version=$3
rebuilt=${4:+$(realpath "$4")}
pyrebuilt=${5:+$(realpath "$5")}
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
programs=(kelvorn-panel kelvorn-panel-sim kelvorn-io kelvorn-mqtt)
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
  echo "./etc/kelvorn-mqtt.conf
./usr/lib/systemd/system/kelvorn-mqtt.service
./usr/lib/sysusers.d/kelvorn-panel.conf
./usr/lib/udev/rules.d/70-kelvorn-boards.rules
./usr/lib/udev/rules.d/70-kelvorn-ftdi.rules
./usr/share/doc/kelvorn-panel/changelog.Debian.gz
./usr/share/doc/kelvorn-panel/mqtt.md.gz
./usr/share/doc/kelvorn-panel/copyright
./usr/share/icons/hicolor/scalable/apps/kelvorn-panel.svg
./usr/share/lintian/overrides/kelvorn-panel"
)
expected=$(sort <<<"$expected")
files_are_expected() {
  diff -u <(echo "$expected") <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
}
check "the package holds exactly the programs, desktop entries, metainfo, icon, service, udev rules and docs" \
  files_are_expected
check "dpkg keeps /etc/kelvorn-mqtt.conf as a conffile" \
  test "$(dpkg-deb -I "$deb" conffiles)" = /etc/kelvorn-mqtt.conf

# python3-kelvorn: the package kelvorn in Debian's dist-packages, with the metadata that lets
# pytest find its plugin by the entry point.
site=./usr/lib/python3/dist-packages
ext_suffix=$(python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
pyexpected=$(sort <<EOF
$site/kelvorn/__init__.py
$site/kelvorn/_kelvorn$ext_suffix
$site/kelvorn/_kelvorn.pyi
$site/kelvorn/labgrid.py
$site/kelvorn/py.typed
$site/kelvorn/pytest_plugin.py
$site/kelvorn-$version.dist-info/METADATA
$site/kelvorn-$version.dist-info/entry_points.txt
$site/kelvorn-$version.dist-info/top_level.txt
./usr/share/doc/python3-kelvorn/changelog.Debian.gz
./usr/share/doc/python3-kelvorn/copyright
./usr/share/lintian/overrides/python3-kelvorn
EOF
)
python_files_are_expected() {
  diff -u <(echo "$pyexpected") <(dpkg-deb --fsys-tarfile "$pydeb" | tar -t | grep -v '/$' | sort)
}
check "python3-kelvorn holds exactly the package kelvorn, its metadata and docs" \
  python_files_are_expected
entry_point() {
  test "$(dpkg-deb --fsys-tarfile "$pydeb" | tar -xO "$site/kelvorn-$version.dist-info/entry_points.txt")" = \
    "$(printf '[pytest11]\nkelvorn = kelvorn.pytest_plugin')"
}
check "python3-kelvorn's metadata names the pytest plugin as a pytest11 entry point" entry_point
python_depends() {  # the main package, this Python's minor version, the libraries by dpkg-shlibdeps
  local depends python
  depends=$(dpkg-deb -f "$pydeb" Depends)
  python=$(python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]} {sys.version_info[0]}.{sys.version_info[1] + 1}")')
  echo "python3-kelvorn Depends: $depends"
  [[ $depends == "kelvorn-panel (= $version-1), python3 (>= ${python% *}~), python3 (<< ${python#* }), "* ]] &&
    grep -Eq '(^|, )libftdi1-2 \(>= [^)]+\)(,|$)' <<<"$depends" &&
    grep -Eq '(^|, )libusb-1\.0-0 \(>= [^)]+\)(,|$)' <<<"$depends" &&
    grep -Eq '(^|, )libmosquitto1 \(>= [^)]+\)(,|$)' <<<"$depends"
}
check "python3-kelvorn depends on kelvorn-panel $version-1, this Python and its libraries" python_depends
check "python3-kelvorn is in the section python" test "$(dpkg-deb -f "$pydeb" Section)" = python

if [ -n "$rebuilt" ]; then
  same_bytes() {
    cmp "$deb" "$rebuilt" && return 0
    # What differs: the files (by the md5sums in control.tar) and their modes, owners and times.
    diff <(dpkg-deb -I "$deb" md5sums) <(dpkg-deb -I "$rebuilt" md5sums) >&2
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$rebuilt") >&2
    return 1
  }
  check "a second build in another folder, later, gives the same bytes" same_bytes
  deb=$pydeb rebuilt=$pyrebuilt check "python3-kelvorn: a second build gives the same bytes" same_bytes
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

# kelvorn-mqtt's service as packaged: the unit starts the packaged program on the conffile, is
# hardened, and the conffile holds every option of the program, commented out, and parses.
unit=$tree/usr/lib/systemd/system/kelvorn-mqtt.service
conf=$tree/etc/kelvorn-mqtt.conf
mqtt=$tree/usr/bin/kelvorn-mqtt
check "kelvorn-mqtt.service starts /usr/bin/kelvorn-mqtt --config /etc/kelvorn-mqtt.conf" \
  grep -qx 'ExecStart=/usr/bin/kelvorn-mqtt --config /etc/kelvorn-mqtt.conf' "$unit"
systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null | grep 'Overall exposure' || true
hardened() {  # OK is an exposure below 5.0; the threshold counts tenths
  systemd-analyze security --offline=yes --threshold=49 --no-pager "$unit" >/dev/null 2>&1
}
check "systemd-analyze security --offline rates kelvorn-mqtt.service OK or better" hardened
all_commented() { ! grep -Evq '^(#.*)?$' "$conf"; }
check "every line of /etc/kelvorn-mqtt.conf is a comment or blank" all_commented
conf_names_every_option() {  # the long options of --help but help, version, config and forget
  diff <("$mqtt" --help | grep -oE '^ +(-[a-zA-Z], ?)?--[a-z-]+' | sed 's/.*--//' |
           grep -vxE 'help|version|config|forget' | sort) \
       <(sed -nE 's/^#([a-z-]+) = .*$/\1/p' "$conf" | sort -u)
}
check "/etc/kelvorn-mqtt.conf names every option of kelvorn-mqtt --help" conf_names_every_option
conf_parses() {  # every option uncommented; the bridge runs on its simulated boards until SIGTERM
  # The credential, the CA file and the broker exist only where the service runs: a readable
  # password file, a readable CA file and a port nobody listens on stand in on the command line,
  # which comes before the config file.
  local all=$tree/all.conf status=0
  sed -E 's/^#([a-z-]+ = )/\1/' "$conf" >"$all"
  timeout --preserve-status -k 5 -s TERM 2 "$mqtt" --config "$all" --password-file /dev/null \
    --cafile "$tree/usr/share/doc/kelvorn-panel/copyright" --host 127.0.0.1 --port 1 \
    2>"$tree/mqtt.log" || status=$?
  [ "$status" -eq 0 ] || { cat "$tree/mqtt.log" >&2; return 1; }
}
check "kelvorn-mqtt takes /etc/kelvorn-mqtt.conf with every option uncommented" conf_parses

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
has_versioned_depends() {  # dpkg-shlibdeps writes each library with its minimum version
  local lib
  for lib in "$@"; do grep -Eq "(^|, )$lib \(>= [^)]+\)(,|$)" <<<"$depends" || return 1; done
}
check "dpkg-shlibdeps' dependencies on Qt 6 Widgets, libftdi1, libusb and libmosquitto" \
  has_versioned_depends libqt6widgets6 libftdi1-2 'libusb-1\.0-0' libmosquitto1
check "the package's version is $version-1" test "$(dpkg-deb -f "$deb" Version)" = "$version-1"
check "lintian finds no errors or warnings in either package" \
  lintian --pedantic --fail-on error,warning "$deb" "$pydeb"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, so the package is not installed and checked on this machine"
elif dpkg-query -W -f='${Status}\n' kelvorn-panel python3-kelvorn 2>/dev/null | grep -q "ok installed"; then
  echo "package: kelvorn-panel or python3-kelvorn is installed on this machine already, so the install is not tried"
else
  trap 'apt-get purge -y -q python3-kelvorn kelvorn-panel >/dev/null 2>&1 || true; rm -rf "$tree"' EXIT
  # Purging leaves the system group, as Debian leaves system groups, so only a first install shows
  # that postinst creates it.
  had_group=$(getent group kelvorn || true)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" "$pydeb" >/dev/null
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
  check "dpkg lists /etc/kelvorn-mqtt.conf among the package's conffiles" \
    grep -q '^ /etc/kelvorn-mqtt.conf [0-9a-f]*$' <<<"$(dpkg-query -W -f='${Conffiles}\n' kelvorn-panel)"
  if [ -z "$had_group" ]; then
    system_group() {  # Debian's system groups have ids below 1000
      local gid
      gid=$(getent group kelvorn | cut -d: -f3) && [ "$gid" -lt 1000 ]
    }
    check "installing created the system group kelvorn" system_group
  else
    echo "package: the group kelvorn was there before the install, so its creation is not checked"
  fi
  board_group() { test "$(tests/package/udev-group.sh "$1")" = "$2"; }
  check "udev gives a Kelvorn board's device node to the group kelvorn (udevadm test, umockdev)" \
    board_group Kelvorn "kelvorn 70-kelvorn-boards.rules"
  not_kelvorn() { ! tests/package/udev-group.sh "$1" | grep -q '^kelvorn '; }
  check "udev leaves an FTDI serial adapter out of the group kelvorn" not_kelvorn "FT232R USB UART"
  check "udev leaves a board described in another case out of the group kelvorn" not_kelvorn kelvorn
  check "systemd-analyze verify passes on the installed kelvorn-mqtt.service" \
    systemd-analyze verify kelvorn-mqtt.service
  # Debian's Python, in a folder of its own and with nothing added to its path, finds the
  # installed package, and pytest its plugin.
  installed_python() {
    local out
    out=$(cd "$tree" && env -u PYTHONPATH /usr/bin/python3 -c '
import kelvorn
sim = kelvorn.Simulator()
sim.add()
with kelvorn.open(driver=sim) as board:
    board.set_output(1, True)
    print(kelvorn.__file__, kelvorn.__version__, board.read())')
    test "$out" = "/usr/lib/python3/dist-packages/kelvorn/__init__.py $version (True, False, True, True, True)"
  }
  check "Debian's python3 imports the installed kelvorn and drives a simulated board" installed_python
  plugin_loaded() {
    local help
    help=$(cd "$tree" && env -u PYTHONPATH /usr/bin/python3 -m pytest --help)
    grep -q -- '--kelvorn-sim' <<<"$help"
  }
  check "pytest loads the installed plugin by its entry point (--kelvorn-sim in --help)" plugin_loaded
  check "postinst byte-compiled the modules" test -d /usr/lib/python3/dist-packages/kelvorn/__pycache__
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q python3-kelvorn >/dev/null
  python_gone() {
    [ ! -e /usr/lib/python3/dist-packages/kelvorn ] &&
      [ ! -e "/usr/lib/python3/dist-packages/kelvorn-$version.dist-info" ]
  }
  check "purging python3-kelvorn leaves nothing of the package kelvorn" python_gone
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvorn-panel >/dev/null
  trap 'rm -rf "$tree"' EXIT
  gone() { ! dpkg-query -W kelvorn-panel >/dev/null 2>&1 && [ ! -e /usr/bin/kelvorn-panel ] &&
    [ ! -e /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules ] && [ ! -e /etc/kelvorn-mqtt.conf ] &&
    [ ! -e /usr/lib/systemd/system/kelvorn-mqtt.service ]; }
  check "purging removes the package and its files, the conffile too" gone
fi
echo "package: $passed passed"

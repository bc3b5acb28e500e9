#!/usr/bin/env bash
# Checks the Debian packages kelvorn-common, kelvorn-io, kelvorn-mqtt, kelvorn-panel and
# python3-kelvorn: their files, the conffile, their dependencies (no Qt for any but the panel), the
# maintainer scripts, the licence, the AppStream metainfo, kelvorn-mqtt's unit and config file, and
# lintian; that a second build of the same sources (rebuild.sh) gave the same bytes; then, as root
# on a machine where none is installed yet, installs each beside only what it depends on, checks
# what they put in place and purges them one by one; and upgrades kelvorn-panel 0.1.0-1, which held
# everything but the Python package, to them with the conffile edited, and purges them again.
# Usage: check.sh VERSION DEB... [-- REBUILT_DEB...], the paths scripts/package.sh and rebuild.sh
# print, in any order. Prints "package: N passed" last; stops at the first failure.
set -euo pipefail
version=$1
shift
names=(kelvorn-common kelvorn-io kelvorn-mqtt kelvorn-panel python3-kelvorn)
declare -A deb=() rebuilt=()
side=deb
for arg; do
  if [ "$arg" = -- ]; then side=rebuilt; continue; fi
  path=$(realpath "$arg")
  name=$(dpkg-deb -f "$path" Package)
  [[ " ${names[*]} " == *" $name "* ]] || { echo "check.sh: $arg is $name, not one of ours" >&2; exit 2; }
  if [ "$side" = deb ]; then deb[$name]=$path; else rebuilt[$name]=$path; fi
done
for name in "${names[@]}"; do
  [ -n "${deb[$name]-}" ] || { echo "check.sh: no $name among the packages" >&2; exit 2; }
  [ ${#rebuilt[@]} -eq 0 ] || [ -n "${rebuilt[$name]-}" ] ||
    { echo "check.sh: no $name among the rebuilt packages" >&2; exit 2; }
done
cd "$(dirname "$0")/../.."
release=$(sed -n 's/^set(release \([0-9]*\))$/\1/p' packaging/CMakeLists.txt)
passed=0
not() { ! "$@"; }
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

# What each package holds. Each program comes with its manual page; the desktop programs (by
# AppStream id) with a desktop entry and a metainfo file named after that id; each package with
# its copyright file and changelog.
site=./usr/lib/python3/dist-packages
ext_suffix=$(python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
programs=(kelvorn-panel kelvorn-panel-sim kelvorn-io kelvorn-mqtt)
desktop_ids=(org.example.kelvorn_panel org.example.kelvorn_panel_sim)
expected_files() {  # expected_files NAME
  echo "./usr/share/doc/$1/changelog.Debian.gz"
  echo "./usr/share/doc/$1/copyright"
  case $1 in
    kelvorn-common) echo "./usr/lib/sysusers.d/kelvorn-common.conf
./usr/lib/udev/rules.d/70-kelvorn-boards.rules
./usr/lib/udev/rules.d/70-kelvorn-ftdi.rules" ;;
    kelvorn-io) echo "./usr/bin/kelvorn-io
./usr/share/man/man1/kelvorn-io.1.gz" ;;
    kelvorn-mqtt) echo "./etc/kelvorn-mqtt.conf
./usr/bin/kelvorn-mqtt
./usr/lib/systemd/system/kelvorn-mqtt.service
./usr/share/doc/kelvorn-mqtt/mqtt.md.gz
./usr/share/man/man1/kelvorn-mqtt.1.gz" ;;
    kelvorn-panel)
      for program in kelvorn-panel kelvorn-panel-sim; do
        echo "./usr/bin/$program"
        echo "./usr/share/man/man1/$program.1.gz"
      done
      for id in "${desktop_ids[@]}"; do
        echo "./usr/share/applications/$id.desktop"
        echo "./usr/share/metainfo/$id.metainfo.xml"
      done
      echo ./usr/share/icons/hicolor/scalable/apps/kelvorn-panel.svg ;;
    python3-kelvorn) echo "$site/kelvorn/__init__.py
$site/kelvorn/_kelvorn$ext_suffix
$site/kelvorn/_kelvorn.pyi
$site/kelvorn/labgrid.py
$site/kelvorn/py.typed
$site/kelvorn/pytest_plugin.py
$site/kelvorn-$version.dist-info/METADATA
$site/kelvorn-$version.dist-info/entry_points.txt
$site/kelvorn-$version.dist-info/top_level.txt" ;;
  esac
}
files_are_expected() {
  diff -u <(expected_files "$1" | sort) <(dpkg-deb --fsys-tarfile "${deb[$1]}" | tar -t | grep -v '/$' | sort)
}
for name in "${names[@]}"; do
  check "$name holds exactly its files (above)" files_are_expected "$name"
done

# The maintainer scripts are with the package that holds what they act on: the group and the udev
# rules, the service, the Python modules.
declare -A scripts=([kelvorn-common]="postinst postrm" [kelvorn-mqtt]="conffiles postinst postrm prerm"
                    [python3-kelvorn]="postinst prerm")
control_scripts() {  # control_scripts NAME SCRIPT...: exactly these scripts and conffiles
  diff <(for script in "${@:2}"; do echo "$script"; done | sort) \
    <(dpkg-deb --ctrl-tarfile "${deb[$1]}" | tar -t | sed 's,^\./,,' |
        grep -Ev '^(|control|md5sums)$' | sort)
}
for name in "${names[@]}"; do
  check "$name's control files besides control and md5sums: ${scripts[$name]:-none}" \
    control_scripts "$name" ${scripts[$name]-}
done
check "dpkg keeps /etc/kelvorn-mqtt.conf as kelvorn-mqtt's conffile" \
  test "$(dpkg-deb -I "${deb[kelvorn-mqtt]}" conffiles)" = /etc/kelvorn-mqtt.conf

# python3-kelvorn: the package kelvorn in Debian's dist-packages, with the metadata that lets
# pytest find its plugin by the entry point.
entry_point() {
  test "$(dpkg-deb --fsys-tarfile "${deb[python3-kelvorn]}" | tar -xO "$site/kelvorn-$version.dist-info/entry_points.txt")" = \
    "$(printf '[pytest11]\nkelvorn = kelvorn.pytest_plugin')"
}
check "python3-kelvorn's metadata names the pytest plugin as a pytest11 entry point" entry_point
check "python3-kelvorn is in the section python" \
  test "$(dpkg-deb -f "${deb[python3-kelvorn]}" Section)" = python

# Dependencies: kelvorn-common needs nothing and is for every architecture; every other package
# depends on it at this version, then on what dpkg-shlibdeps found, each library with its minimum
# version. Only kelvorn-panel depends on Qt, and on the two programs it held up to 0.1.0-1.
python=$(python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]} {sys.version_info[0]}.{sys.version_info[1] + 1}")')
v="$version-$release"
common_libs=(libftdi1-2 'libusb-1\.0-0' libmosquitto1)
depends_as() {  # depends_as NAME PREFIX LIBRARY...: Depends starts with PREFIX and has the libraries
  local depends lib
  depends=$(dpkg-deb -f "${deb[$1]}" Depends)
  echo "$1 Depends: $depends"
  [[ $depends == "$2"* ]] || return 1
  for lib in "${@:3}"; do grep -Eq "(^|, )$lib \(>= [^)]+\)(,|$)" <<<"$depends" || return 1; done
  [ "$1" = kelvorn-panel ] || ! grep -Eiq '(^|, )[^ ]*qt' <<<"$depends"
}
check "kelvorn-common depends on nothing" test -z "$(dpkg-deb -f "${deb[kelvorn-common]}" Depends)"
check "kelvorn-common is Architecture: all" test "$(dpkg-deb -f "${deb[kelvorn-common]}" Architecture)" = all
check "kelvorn-io depends on kelvorn-common $v and its libraries, no Qt" \
  depends_as kelvorn-io "kelvorn-common (= $v), " "${common_libs[@]}"
check "kelvorn-mqtt depends on kelvorn-common $v and its libraries, no Qt" \
  depends_as kelvorn-mqtt "kelvorn-common (= $v), " "${common_libs[@]}"
check "kelvorn-panel depends on kelvorn-common, kelvorn-io, kelvorn-mqtt $v, Qt 6 Widgets and its libraries" \
  depends_as kelvorn-panel "kelvorn-common (= $v), kelvorn-io (= $v), kelvorn-mqtt (= $v), " \
  libqt6widgets6 "${common_libs[@]}"
check "python3-kelvorn depends on kelvorn-common $v, this Python and its libraries, no Qt" \
  depends_as python3-kelvorn "kelvorn-common (= $v), python3 (>= ${python% *}~), python3 (<< ${python#* }), " \
  "${common_libs[@]}"
# The packages that took files over from kelvorn-panel 0.1.0-1 replace and break it (Debian policy
# 7.6.1); the others declare neither.
takes_over() {  # takes_over NAME VALUE: the package's Replaces and Breaks are VALUE
  [ "$(dpkg-deb -f "${deb[$1]}" Replaces)" = "$2" ] && [ "$(dpkg-deb -f "${deb[$1]}" Breaks)" = "$2" ]
}
for name in "${names[@]}"; do
  over="kelvorn-panel (<< 0.1.0-2~)"
  [[ $name != kelvorn-panel && $name != python3-kelvorn ]] || over=
  check "$name replaces and breaks ${over:-nothing}" takes_over "$name" "$over"
done
versions_are() {
  local name
  for name in "${names[@]}"; do [ "$(dpkg-deb -f "${deb[$name]}" Version)" = "$v" ] || return 1; done
}
check "every package's version is $v" versions_are

if [ ${#rebuilt[@]} -gt 0 ]; then
  same_bytes() {  # same_bytes NAME
    cmp "${deb[$1]}" "${rebuilt[$1]}" && return 0
    # What differs: the files (by the md5sums in control.tar) and their modes, owners and times.
    diff <(dpkg-deb -I "${deb[$1]}" md5sums) <(dpkg-deb -I "${rebuilt[$1]}" md5sums) >&2
    diff <(dpkg-deb -c "${deb[$1]}") <(dpkg-deb -c "${rebuilt[$1]}") >&2
    return 1
  }
  for name in "${names[@]}"; do
    check "$name: a second build in another folder, later, gives the same bytes" same_bytes "$name"
  done
fi

tree=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$tree" "$work"' EXIT
for name in "${names[@]}"; do dpkg-deb -x "${deb[$name]}" "$tree"; done
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
licence_is_mit() {  # machine-readable copyright, Expat, with LICENSE's text, in every package
  local name copyright
  for name in "${names[@]}"; do
    copyright=$tree/usr/share/doc/$name/copyright
    head -n 1 "$copyright" |
      grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
      grep -qx 'License: Expat' "$copyright" &&
      diff <(sed -n '/^Permission/,$p' LICENSE) \
        <(sed -n '/^ Permission/,$p' "$copyright" | sed 's/^ //; s/^\.$//') || return 1
  done
}
check "every package's copyright file is machine-readable, Expat, with LICENSE's text" licence_is_mit

# kelvorn-mqtt's service as packaged: the unit starts the packaged program on the conffile, is
# hardened, and the conffile holds every option of the program, commented out, and parses.
unit=$tree/usr/lib/systemd/system/kelvorn-mqtt.service
conf=$tree/etc/kelvorn-mqtt.conf
mqtt=$tree/usr/bin/kelvorn-mqtt
no_test_hooks() {  # the backoff's test hook would make a busy loop of an installed program's retries
  [ -z "$(find "$tree" -type f \( -path '*/bin/*' -o -name '*.so' \) \
    -exec grep -la KELVORN_MQTT_TEST_SECOND_MS {} +)" ]
}
check "no packaged program or module reads the tests' KELVORN_MQTT_TEST_SECOND_MS" no_test_hooks
check "kelvorn-mqtt.service starts /usr/bin/kelvorn-mqtt --config /etc/kelvorn-mqtt.conf" \
  grep -qx 'ExecStart=/usr/bin/kelvorn-mqtt --config /etc/kelvorn-mqtt.conf' "$unit"
systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null | grep 'Overall exposure' || true
hardened() {  # OK is an exposure below 5.0; the threshold counts tenths
  systemd-analyze security --offline=yes --threshold=49 --no-pager "$unit" >/dev/null 2>&1
}
check "systemd-analyze security --offline rates kelvorn-mqtt.service OK or better" hardened
all_commented() { ! grep -Evq '^(#.*)?$' "$conf"; }
check "every line of /etc/kelvorn-mqtt.conf is a comment or blank" all_commented
conf_names_every_option() {  # the long options of --help but help, version, config and the forgets
  diff <("$mqtt" --help | grep -oE '^ +(-[a-zA-Z], ?)?--[a-z-]+' | sed 's/.*--//' |
           grep -vxE 'help|version|config|forget|forget-bridge|force' | sort) \
       <(sed -nE 's/^#([a-z-]+) = .*$/\1/p' "$conf" | sort -u)
}
check "/etc/kelvorn-mqtt.conf names every option of kelvorn-mqtt --help" conf_names_every_option
conf_parses() {  # every option uncommented; the bridge runs on its simulated boards until SIGTERM
  # The credential, the CA file and the broker exist only where the service runs: a readable
  # password file, a CA certificate made here and a port nobody listens on stand in on the
  # command line, which comes before the config file.
  local all=$work/all.conf status=0
  sed -E 's/^#([a-z-]+ = )/\1/' "$conf" >"$all"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
    -subj /CN=kelvorn-test-ca -days 1 2>/dev/null || return 1
  timeout --preserve-status -k 5 -s TERM 2 "$mqtt" --config "$all" --password-file /dev/null \
    --cafile "$work/ca.pem" --host 127.0.0.1 --port 1 \
    2>"$work/mqtt.log" || status=$?
  [ "$status" -eq 0 ] || { cat "$work/mqtt.log" >&2; return 1; }
}
check "kelvorn-mqtt takes /etc/kelvorn-mqtt.conf with every option uncommented" conf_parses

all_debs=()
for name in "${names[@]}"; do all_debs+=("${deb[$name]}"); done
check "lintian finds no errors or warnings in any package" \
  lintian --pedantic --fail-on error,warning "${all_debs[@]}"

export DEBIAN_FRONTEND=noninteractive
installed() {  # prints which of the names given dpkg has in any state but not-installed
  { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "$@" 2>/dev/null || true; } |
    awk '$1 != "un" {print $2}'
}
purge_all() {
  local left
  left=$(installed "${names[@]}")
  [ -z "$left" ] || apt-get purge -y -q $left </dev/null >/dev/null 2>&1 || true
}
if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, so the packages are not installed and checked on this machine"
elif [ -n "$(installed "${names[@]}")" ]; then
  echo "package: $(installed "${names[@]}" | tr '\n' ' ')is installed on this machine already, so the install is not tried"
else
  trap 'purge_all; rm -rf "$tree" "$work"' EXIT
  # Purging leaves the system group, as Debian leaves system groups, so only a first install shows
  # that postinst creates it.
  had_group=$(getent group kelvorn || true)
  # Each package installs beside only the packages it depends on, installed before it: apt finds
  # none of them anywhere else.
  apt_install() { apt-get install -y -q --no-install-recommends "$@" </dev/null >/dev/null; }
  for name in kelvorn-common python3-kelvorn kelvorn-io kelvorn-mqtt kelvorn-panel; do
    check "$name installs beside only the packages it depends on" apt_install "${deb[$name]}"
  done
  no_qt_below() {  # nothing a default install brings with the package (recommended too) is Qt
    local closure
    closure=$(apt-cache depends --recurse --no-suggests --no-conflicts --no-breaks --no-replaces \
                --no-enhances "$1" | grep -v '^ ' | tr -d '<>')
    grep -qx "$1" <<<"$closure" && ! grep -Eiq '(^lib)?qt[0-9]|^qt' <<<"$closure"
  }
  for name in kelvorn-common kelvorn-io kelvorn-mqtt python3-kelvorn; do
    check "$name brings no Qt library with it (apt-cache depends --recurse)" no_qt_below "$name"
  done
  check "kelvorn-panel does bring Qt with it (apt-cache depends --recurse)" not no_qt_below kelvorn-panel
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
  conffile_of() {  # conffile_of NAME [" obsolete"]: dpkg lists /etc/kelvorn-mqtt.conf so for NAME
    grep -q "^ /etc/kelvorn-mqtt.conf [0-9a-f]*${2-}\$" <<<"$(dpkg-query -W -f='${Conffiles}\n' "$1")"
  }
  check "dpkg lists /etc/kelvorn-mqtt.conf among kelvorn-mqtt's conffiles" conffile_of kelvorn-mqtt
  if [ -z "$had_group" ]; then
    system_group() {  # Debian's system groups have ids below 1000
      local gid
      gid=$(getent group kelvorn | cut -d: -f3) && [ "$gid" -lt 1000 ]
    }
    check "installing kelvorn-common created the system group kelvorn" system_group
  else
    echo "package: the group kelvorn was there before the install, so its creation is not checked"
  fi
  check "postinst configure again says nothing and leaves the group" \
    test -z "$(/var/lib/dpkg/info/kelvorn-common.postinst configure 2>&1)" -a -n "$(getent group kelvorn)"
  # A container or chroot without systemd-sysusers: run where those programs are not on PATH, the
  # group deleted first, in a mount namespace of its own over a copy of /etc, so that the
  # machine's group stays. Prints the status, what postinst said, and the group's id.
  postinst_without() {  # postinst_without PROGRAM...
    unshare --mount --propagation private bash -c '
      set -e
      tmp=$(mktemp -d)
      cp -a /etc "$tmp/etc"
      mount --bind "$tmp/etc" /etc
      groupdel kelvorn
      mkdir "$tmp/bin"
      for program in /usr/sbin/* /usr/bin/*; do
        [[ " $* " == *" ${program##*/} "* ]] || ln -sf "$program" "$tmp/bin/"
      done
      said=$(PATH=$tmp/bin /var/lib/dpkg/info/kelvorn-common.postinst configure 2>&1) && status=0 ||
        status=$?
      echo "$status|$said|$(getent group kelvorn | cut -d: -f3)"
      umount /etc
      rm -rf "$tmp"
    ' - "$@"
  }
  made_quietly() {
    local made
    made=$(postinst_without systemd-sysusers)
    echo "$made"
    [[ $made =~ ^0\|\|([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -lt 1000 ]
  }
  check "without systemd-sysusers postinst creates the system group all the same, saying nothing" \
    made_quietly
  said_once() {
    local made
    made=$(postinst_without systemd-sysusers addgroup groupadd)
    echo "$made"
    [ "$made" = "0|kelvorn-common: could not create the group kelvorn (no systemd-sysusers, addgroup or groupadd); the udev rule and kelvorn-mqtt's service need it: addgroup --system kelvorn|" ]
  }
  check "with no tool to create it postinst says so in one line, and the install goes on" said_once
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
    out=$(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -c '
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
    help=$(cd "$work" && env -u PYTHONPATH /usr/bin/python3 -m pytest --help)
    grep -q -- '--kelvorn-sim' <<<"$help"
  }
  check "pytest loads the installed plugin by its entry point (--kelvorn-sim in --help)" plugin_loaded
  check "postinst byte-compiled the modules" test -d /usr/lib/python3/dist-packages/kelvorn/__pycache__

  # Purged one by one, the dependent packages first, each leaves nothing of its own behind (the
  # conffile, the byte-compiled modules) and the others working, and the system group stays.
  purged() {
    local file
    apt-get purge -y -q "$1" </dev/null >/dev/null && [ -z "$(installed "$1")" ] || return 1
    for file in $(expected_files "$1") "/usr/share/doc/$1" "$site/kelvorn"; do
      [ "$file" != "$site/kelvorn" ] || [ "$1" = python3-kelvorn ] || continue
      [ ! -e "${file#.}" ] || { echo "left behind: ${file#.}" >&2; return 1; }
    done
    for file in "${programs[@]}"; do
      dpkg-query -S "/usr/bin/$file" >/dev/null 2>&1 || continue
      test "$("/usr/bin/$file" --version)" = "$file $version" || return 1
    done
    getent group kelvorn >/dev/null
  }
  for name in python3-kelvorn kelvorn-panel kelvorn-io kelvorn-mqtt kelvorn-common; do
    check "purging $name leaves none of its files, the others working and the group" purged "$name"
  done

  # The upgrade from kelvorn-panel 0.1.0-1, which held the four programs, the udev rules, the
  # group's sysusers.d file (then kelvorn-panel.conf), the service and the conffile, with the
  # maintainer scripts that now are kelvorn-common's and kelvorn-mqtt's. It is made here, with
  # dpkg-deb, from the files and scripts of the packages above.
  old=$work/old
  mkdir -p "$old/root/DEBIAN" "$old/control"
  for name in kelvorn-common kelvorn-io kelvorn-mqtt kelvorn-panel; do
    dpkg-deb -x "${deb[$name]}" "$old/root"
    dpkg-deb -e "${deb[$name]}" "$old/control/$name"
    if [ "$name" != kelvorn-panel ]; then
      cp -a "$old/root/usr/share/doc/$name/." "$old/root/usr/share/doc/kelvorn-panel/"
      rm -r "$old/root/usr/share/doc/$name"
    fi
  done
  mv "$old/root/usr/lib/sysusers.d/kelvorn-common.conf" "$old/root/usr/lib/sysusers.d/kelvorn-panel.conf"
  mkdir -p "$old/root/usr/share/lintian/overrides"
  echo 'kelvorn-panel: initial-upload-closes-no-bugs' >"$old/root/usr/share/lintian/overrides/kelvorn-panel"
  cat >"$old/root/DEBIAN/control" <<EOF
Package: kelvorn-panel
Version: 0.1.0-1
Architecture: $(dpkg-deb -f "${deb[kelvorn-panel]}" Architecture)
Maintainer: $(dpkg-deb -f "${deb[kelvorn-panel]}" Maintainer)
Depends: $(dpkg-deb -f "${deb[kelvorn-panel]}" Depends | sed -E 's/kelvorn-[a-z]+ \([^)]*\), //g')
Section: electronics
Priority: optional
Description: test panel for the Kelvorn USB digital I/O board
 kelvorn-panel, kelvorn-panel-sim, kelvorn-io and kelvorn-mqtt.
EOF
  cp "$old/control/kelvorn-mqtt/conffiles" "$old/control/kelvorn-mqtt/prerm" "$old/root/DEBIAN/"
  sed 's/kelvorn-common\.conf/kelvorn-panel.conf/' "$old/control/kelvorn-common/postinst" |
    cat - "$old/control/kelvorn-mqtt/postinst" >"$old/root/DEBIAN/postinst"
  cat "$old/control/kelvorn-common/postrm" "$old/control/kelvorn-mqtt/postrm" >"$old/root/DEBIAN/postrm"
  chmod 755 "$old/root/DEBIAN/postinst" "$old/root/DEBIAN/postrm"
  dpkg-deb --root-owner-group -b "$old/root" "$old/kelvorn-panel_0.1.0-1.deb" >/dev/null
  check "kelvorn-panel 0.1.0-1 installs" apt_install "$old/kelvorn-panel_0.1.0-1.deb"
  check "... with /etc/kelvorn-mqtt.conf as its conffile" conffile_of kelvorn-panel
  # The administrator's edit, which dpkg must keep without asking.
  echo "port = 1884" >>/etc/kelvorn-mqtt.conf
  edited=$(md5sum </etc/kelvorn-mqtt.conf)
  # The new packages in a repository of their own, which apt reads instead of the machine's
  # sources; apt upgrades kelvorn-panel alone, without recommendations, as `apt upgrade` would.
  repo=$work/repo
  mkdir -p "$repo/lists/partial" "$repo/parts"
  for name in kelvorn-common kelvorn-io kelvorn-mqtt kelvorn-panel; do cp "${deb[$name]}" "$repo/"; done
  (cd "$repo" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null)
  echo "deb [trusted=yes] file:$repo ./" >"$repo/sources.list"
  chmod -R a+rX "$work"
  apt_repo=(-o "Dir::Etc::SourceList=$repo/sources.list" -o "Dir::Etc::SourceParts=$repo/parts"
            -o "Dir::State::Lists=$repo/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
  upgrade() {
    apt-get "${apt_repo[@]}" update -q >/dev/null &&
      timeout 300 apt-get "${apt_repo[@]}" install -y -q --no-install-recommends --only-upgrade \
        kelvorn-panel </dev/null >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log" >&2; return 1; }
  }
  check "apt upgrades kelvorn-panel 0.1.0-1 without a question" upgrade
  all_new() {  # the four packages at this version, and the four programs answering
    local name
    for name in kelvorn-common kelvorn-io kelvorn-mqtt kelvorn-panel; do
      [ "$(dpkg-query -W -f='${Status} ${Version}' "$name")" = "install ok installed $v" ] || return 1
    done
    for name in "${programs[@]}"; do test "$("/usr/bin/$name" --version)" = "$name $version" || return 1; done
  }
  check "... and brings kelvorn-common, kelvorn-io and kelvorn-mqtt $v: all four programs answer" all_new
  check "... keeps the edited /etc/kelvorn-mqtt.conf unchanged" test "$(md5sum </etc/kelvorn-mqtt.conf)" = "$edited"
  owned_by() { test "$(dpkg-query -S "$2")" = "$1: $2"; }
  check "... which is now kelvorn-mqtt's" owned_by kelvorn-mqtt /etc/kelvorn-mqtt.conf
  check "... and among kelvorn-mqtt's conffiles" conffile_of kelvorn-mqtt
  check "... and to kelvorn-panel an obsolete conffile" conffile_of kelvorn-panel " obsolete"
  for rules in 70-kelvorn-boards.rules 70-kelvorn-ftdi.rules; do
    check "... the udev rule $rules is kelvorn-common's" owned_by kelvorn-common "/usr/lib/udev/rules.d/$rules"
  done
  check "... kelvorn-panel's sysusers.d file is gone, kelvorn-common's in its place" \
    test ! -e /usr/lib/sysusers.d/kelvorn-panel.conf -a -e /usr/lib/sysusers.d/kelvorn-common.conf
  check "... udev still gives a Kelvorn board's device node to the group kelvorn" \
    board_group Kelvorn "kelvorn 70-kelvorn-boards.rules"
  check "purging the upgraded kelvorn-panel leaves none of its files, the others working" purged kelvorn-panel
  check "... leaves kelvorn-mqtt's conffile as edited" test "$(md5sum </etc/kelvorn-mqtt.conf)" = "$edited"
  purge_all
  trap 'rm -rf "$tree" "$work"' EXIT
  all_gone() {
    [ -z "$(installed "${names[@]}")" ] && [ ! -e /etc/kelvorn-mqtt.conf ] &&
      [ ! -e /usr/lib/udev/rules.d/70-kelvorn-ftdi.rules ] && [ ! -e /usr/bin/kelvorn-io ]
  }
  check "purging the rest removes every package, the conffile too" all_gone
fi
echo "package: $passed passed"

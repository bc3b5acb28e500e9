#!/usr/bin/env bash
# Installs the Debian packages a command needs, when any is missing. Sourced by run.sh
# (kelvorn_ensure_deps run), scripts/package.sh (package) and test.sh (test).
# Building and running the programs:
kelvorn_run_packages=(g++ cmake make pkg-config qt6-base-dev libxcb1-dev libftdi1-dev
  libusb-1.0-0-dev libcli11-dev nlohmann-json3-dev libmosquitto-dev libssl-dev)
# Making the .deb: dpkg-shlibdeps, and file, which CPack uses to find the programs among the files;
# the Python module of python3-kelvorn.
kelvorn_package_packages=(dpkg-dev file pybind11-dev python3-dev)
# The tests, the sanitizer and fuzzing builds, the benchmarks and the package checks:
kelvorn_test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  xvfb xauth x11-utils fonts-dejavu-core
  dbus at-spi2-core python3 python3-pyatspi gir1.2-atspi-2.0
  orca openbox xdotool
  clang libclang-rt-14-dev
  lintian desktop-file-utils appstream git
  systemd udev man-db  # the service's checks: systemd-analyze, udevadm test, man for verify
  hyperfine
  sigrok-cli
  mosquitto mosquitto-clients openssl
  rabbitmq-server  # the MQTT tests' RabbitMQ, its MQTT plugin (MQTT 3.1.1 only)
  redis-server  # the aedes cluster of the MQTT tests (aedes itself: npm ci --prefix tests/brokers)
  python3-pytest python3-labgrid mypy  # the Python package's tests: pytest, labgrid, stubtest
  python3-venv python3-pip python3-setuptools python3-wheel  # and pip install . in a venv
)

kelvorn_ensure_deps() {
  local wanted=("${kelvorn_run_packages[@]}") missing=() pkg
  case "${1-}" in
    run) ;;
    package) wanted+=("${kelvorn_package_packages[@]}") ;;
    test) wanted+=("${kelvorn_package_packages[@]}" "${kelvorn_test_packages[@]}") ;;
    *) echo "kelvorn_ensure_deps: run, package or test, not '${1-}'" >&2; return 2 ;;
  esac
  # The MQTT tests' aedes runs on Node.js and comes with npm; a Node.js that did not come from
  # these packages (NodeSource's, say, which has npm inside) is taken as it is.
  if [ "${1-}" = test ]; then
    command -v node >/dev/null || wanted+=(nodejs)
    command -v npm >/dev/null || wanted+=(npm)
  fi
  for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; return 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the programs need, when any is missing.
# Sourced by run.sh and test.sh.
kelvorn_packages=(
  g++ cmake make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libftdi1-dev libusb-1.0-0-dev
  umockdev libumockdev-dev
  xvfb xauth x11-utils fonts-dejavu-core
  clang libclang-rt-14-dev
)

kelvorn_ensure_deps() {
  local missing=() pkg
  for pkg in "${kelvorn_packages[@]}"; do
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

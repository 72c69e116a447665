#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
# As root with apt-get it installs them; otherwise it names what is missing.
set -euo pipefail

# command-or-file  package
linux_needs=(
  "cmake cmake"
  "ninja ninja-build"
  "g++ g++"
  "nm binutils"
  "/usr/include/gtest/gtest.h libgtest-dev"
  "/usr/include/gmock/gmock.h libgmock-dev"
)

missing_packages() {
  local entry what package
  for entry in "$@"; do
    what=${entry% *}
    package=${entry#* }
    if [[ $what == /* ]]; then
      [[ -e $what ]] || echo "$package"
    else
      command -v "$what" >/dev/null 2>&1 || echo "$package"
    fi
  done
}

# install_packages PACKAGE... : returns non-zero when they cannot be installed here.
install_packages() {
  (($# == 0)) && return 0
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: cannot install $* (needs root and apt-get)" >&2
    return 1
  fi
  echo "setup: installing $*" >&2
  if [[ ! -e /tmp/.hushlink-apt-updated ]]; then
    apt-get update -qq >&2 && touch /tmp/.hushlink-apt-updated
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >&2
}

mapfile -t packages < <(missing_packages "${linux_needs[@]}")
install_packages "${packages[@]}"

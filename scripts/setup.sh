#!/usr/bin/env bash
# Installs every Debian package the suite needs to build, test and run. Safe to run again:
# when everything is already there it prints nothing and asks apt for nothing.
#   scripts/setup.sh [PACKAGE...]   also installs the packages named (scripts that need more)
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang ccache pkg-config
  googletest libgtest-dev libbenchmark-dev
  libsqlite3-dev sqlite3
  libcpp-httplib-dev
  qt6-base-dev xvfb xauth xfonts-base
  snmp snmpsim
  iproute2 procps psmisc curl python3
  chromium fonts-ipafont-gothic
  wrk lighttpd php8.2-cli
  dpkg-dev fakeroot
  valgrind
)
PACKAGES+=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages such as lighttpd (a benchmark peer) would start system services on install; the
# suite starts what it needs itself, so keep the package scripts from starting anything.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod +x "$policy"
  made_policy=1
fi
trap '[ -n "$made_policy" ] && $SUDO rm -f "$policy"' EXIT
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

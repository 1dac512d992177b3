#!/usr/bin/env bash
# Installs, runs and purges the Debian package in a freshly bootstrapped Debian root (chroot),
# where nothing but a minimal system is present: apt has to find every library the package
# depends on, the configure script has to work with what a bare system has, and purge plus
# autoremove must bring the root back to the file list it had before.
#   package_fresh_root.sh BUILD [--base DIR] [--keep]
#     BUILD       a configured normal build tree (its CPack configuration makes the package)
#     --base DIR  a minimal bookworm root made before (debootstrap --variant=minbase); it is
#                 copied, never changed. Without it one is bootstrapped (a few minutes).
#     --keep      leave the work folder (for a look after a failure)
# Needs root, debootstrap, unshare and the Debian mirror; exits 77 (skipped) without them.
# The server listens on loopback only; nothing is broadcast.
set -euo pipefail

usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; }
build="" base="" keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --base) base="$2"; shift ;;
    --keep) keep=1 ;;
    -*) echo "package_fresh_root: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) build="$1" ;;
  esac
  shift
done
[ -n "$build" ] && [ -f "$build/CPackConfig.cmake" ] \
  || { echo "package_fresh_root: BUILD must be a configured build tree (see --help)" >&2; exit 2; }
build="$(cd "$build" && pwd)"

if [ "${QM_IN_FRESH_ROOT:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "needs root"; exit 77; }
  for tool in unshare chroot dpkg-deb cpack curl; do
    command -v "$tool" >/dev/null || { echo "needs $tool"; exit 77; }
  done
  work=$(mktemp -d /tmp/qmfresh.XXXXXX)
  if [ "$keep" = 1 ]; then echo "work folder: $work"; else trap 'rm -rf "$work"' EXIT; fi
  echo "== package =="
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/deb/quinsward_*.deb)
  echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
  if [ -n "$base" ]; then
    echo "== copy of $base =="
    cp -a "$base" "$work/root"
  else
    command -v debootstrap >/dev/null || { echo "needs debootstrap (or --base)"; exit 77; }
    echo "== debootstrap (minbase, bookworm) =="
    debootstrap --variant=minbase bookworm "$work/root" http://deb.debian.org/debian \
      >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; echo "debootstrap failed"; exit 77; }
  fi
  cp "$deb" "$work/root/tmp/"
  # The mounts the root needs stay inside a private mount namespace; they go with it.
  unshare -m --propagation private env QM_IN_FRESH_ROOT=1 QM_WORK="$work" \
    QM_DEB="/tmp/$(basename "$deb")" "$0" "$build"
  exit $?
fi

# ---- inside the namespace ----
root="$QM_WORK/root"
fail() { echo "FAIL: $*"; exit 1; }
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs none "$root/run"
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }

# What a comparison of file lists leaves aside: what apt, dpkg and the loader keep as state,
# logs and caches, which change with any install and removal.
files() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./run -o -path ./tmp \
      -o -path ./var/cache -o -path ./var/log -o -path ./var/lib/apt -o -path ./var/lib/dpkg \
      -o -path ./etc/ld.so.cache -o -path ./var/lib/systemd/deb-systemd-helper-enabled \) -prune \
      -o -print | sort | grep -vx '\./opt')
}
# The empty /opt itself is left out too: no Debian package owns it, so dpkg removes it with
# the last package that lists it (as for any package installed under /opt).

echo "== apt-get update =="
in_root apt-get update -q >"$QM_WORK/update.log" 2>&1 || { tail "$QM_WORK/update.log"; fail "apt-get update"; }
files >"$QM_WORK/before.txt"

echo "== install =="
start=$(date +%s)
out=$(in_root apt-get install -y -q --no-install-recommends "$QM_DEB" 2>&1) || { echo "$out" | tail -30; fail "install"; }
echo "$out" >"$QM_WORK/install.log"
echo "installed in $(( $(date +%s) - start )) s with $(grep -c '^Setting up' <<<"$out") packages set up"
[ "$(grep -c 'administrator password: ' <<<"$out")" = 1 ] || { echo "$out" | tail -30; fail "password not shown once"; }
opt=/opt/quinsward
for f in sbin/qmhttpd sbin/Qmonmgr sbin/Qntfmgr registry bin/InstallData.txt; do
  [ -e "$root$opt/$f" ] || fail "$opt/$f missing after install"
done
[ -n "$(ls -A "$root$opt/conf")" ] || fail "configuration database not made"
[ -f "$root/lib/systemd/system/qmhttpd.service" ] && [ -f "$root/lib/systemd/system/qmonmgr.service" ] \
  || fail "systemd units missing"

echo "== run =="
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
in_root "$opt/sbin/qmhttpd" --root "$opt" --port "$port" --listen 127.0.0.1 2>"$QM_WORK/qmhttpd.err" &
pid=$!
monitor=""
# A failed check must not leave the programs running (they hold this script's output open).
trap 'kill $pid $monitor 2>/dev/null || true' EXIT
page=""
for _ in $(seq 150); do
  page=$(curl -fs "http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=index.htm" 2>/dev/null) && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
grep -q '<h1>Printer management</h1>' <<<"$page" || { cat "$QM_WORK/qmhttpd.err"; fail "installed site did not answer"; }
# The monitor starts and answers its control tool inside the bare root too.
in_root "$opt/sbin/Qmonmgr" --root "$opt" >/dev/null 2>"$QM_WORK/qmonmgr.err" &
monitor=$!
monitor_state=""
for _ in $(seq 100); do
  monitor_state=$(in_root "$opt/sbin/qmonctl" --root "$opt" status 2>&1) && break
  sleep 0.2
done
[ "$monitor_state" = running ] || { cat "$QM_WORK/qmonmgr.err"; fail "monitor status: $monitor_state"; }
in_root "$opt/sbin/qmonctl" --root "$opt" stop >/dev/null 2>&1 || true
# Either may have ended already (the monitor after its stop command).
kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
kill "$monitor" 2>/dev/null || true; wait "$monitor" 2>/dev/null || true
echo "site answered on 127.0.0.1:$port; monitor running"

echo "== purge =="
out=$(in_root apt-get purge -y -q quinsward 2>&1) || { echo "$out" | tail -20; fail "purge"; }
out=$(in_root apt-get autoremove --purge -y -q 2>&1) || { echo "$out" | tail -20; fail "autoremove"; }
[ ! -e "$root$opt" ] || fail "$opt left after purge: $(cd "$root$opt" && find . | head)"
files >"$QM_WORK/after.txt"
if ! diff "$QM_WORK/before.txt" "$QM_WORK/after.txt" >"$QM_WORK/diff.txt"; then
  head -30 "$QM_WORK/diff.txt"
  fail "the root's files differ from before the install"
fi
echo "== install, run and purge in a fresh root passed =="

#!/usr/bin/env bash
# Builds the Debian package from the build tree and installs, runs and purges it in a fresh
# root: a private mount namespace where /opt, the dpkg database and the systemd unit folder
# are empty or copies, and systemd is out of sight, so the machine itself is never touched.
# Checks: the configure script shows a new administrator password once and makes the
# registry and both databases; the installed server answers the first page on loopback;
# purge leaves nothing behind. Needs root (namespaces, dpkg); exits 77 (skipped) without.
set -euo pipefail
build="$(cd "$1" && pwd)"
if [ "${QM_IN_PACKAGE_ROOT:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "needs root"; exit 77; }
  command -v unshare >/dev/null && command -v dpkg-deb >/dev/null || { echo "needs unshare and dpkg"; exit 77; }
  work=$(mktemp -d /tmp/qmpackage.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # The package is made outside the namespace, into the work folder.
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/quinsward_*.deb)
  unshare -m --propagation private env QM_IN_PACKAGE_ROOT=1 QM_DEB="$deb" QM_WORK="$work" "$0" "$build" || exit $?
  exit 0
fi

# ---- inside the namespace ----
work="$QM_WORK"
mount -t tmpfs none /opt
mkdir -p "$work/dpkg" "$work/units"
cp -a /var/lib/dpkg/. "$work/dpkg/"
mount --bind "$work/dpkg" /var/lib/dpkg
mkdir -p /lib/systemd/system
mount --bind "$work/units" /lib/systemd/system
[ -d /run/systemd ] && mount -t tmpfs none /run/systemd
root=/opt/quinsward
fail() { echo "FAIL: $*"; exit 1; }

# The listing is read whole first: grep -q stopping early would break dpkg-deb's pipe.
contents=$(dpkg-deb -c "$QM_DEB")
grep -q './opt/quinsward/sbin/qmhttpd$' <<<"$contents" || fail "package lacks sbin/qmhttpd"
grep -q './lib/systemd/system/qmonmgr.service$' <<<"$contents" || fail "package lacks the monitor unit"
grep -q '/opt/quinsward/registry' <<<"$contents" && fail "the package must not carry a registry (its password)"

out=$(dpkg -i "$QM_DEB" 2>&1) || { echo "$out"; fail "dpkg -i"; }
echo "$out" | grep -c 'administrator password: ' | grep -qx 1 || { echo "$out"; fail "password not shown once"; }
[ -x "$root/sbin/qmhttpd" ] && [ -x "$root/sbin/Qmonmgr" ] || fail "programs missing"
[ -e "$root/registry" ] || fail "registry not made"
[ -n "$(ls -A "$root/conf")" ] || fail "configuration database not made"
[ -f /lib/systemd/system/qmhttpd.service ] || fail "unit not installed"
grep -qx "$root/bin" "$root/bin/InstallData.txt" || fail "InstallData.txt does not name $root/bin"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$root/sbin/qmhttpd" --root "$root" --port "$port" --listen 127.0.0.1 2>"$work/qmhttpd.err" &
pid=$!
page=""
for _ in $(seq 150); do
  page=$(curl -fs "http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=index.htm" 2>/dev/null) && break
  sleep 0.2
done
kill "$pid"; wait "$pid" || true
grep -q '<h1>Printer management</h1>' <<<"$page" || { cat "$work/qmhttpd.err"; fail "installed site did not answer"; }

# A second configure (an upgrade) keeps the password and shows none.
out=$(dpkg -i "$QM_DEB" 2>&1) || { echo "$out"; fail "reinstall"; }
echo "$out" | grep -q 'administrator password: ' && fail "a reinstall showed a new password"

dpkg --purge quinsward >/dev/null 2>&1 || fail "purge"
[ ! -e "$root" ] || fail "purge left $root: $(ls -A $root)"
[ ! -e /lib/systemd/system/qmhttpd.service ] || fail "purge left the unit"
dpkg -s quinsward >/dev/null 2>&1 && fail "dpkg still knows the package"
echo "ok: installed, served the first page on port $port, purged cleanly"

#!/usr/bin/env bash
# qmreg end to end in a throw-away root.
set -euo pipefail
qmreg="$1"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
r() { "$qmreg" --root "$root" "$@"; }
k='HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Httpd'
r set "$k" ServerRoot "/srv/www"
r setnum "$k" Port 0x50
[ "$(r get "$k" port)" = 80 ]
[ "$(r get 'HKEY_LOCAL_MACHINE\software\ovrelnet\ovrelnetquinsward\httpd' SERVERROOT)" = /srv/www ]
r list 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward' | grep -qx '\[Httpd\]'
r get "$k" | grep -q $'Port\tREG_DWORD\t80'
if r get "$k" Missing 2>/dev/null; then echo "missing value must fail"; exit 1; fi
if r setnum "$k" Port 12x 2>/dev/null; then echo "bad number must fail"; exit 1; fi
r delete "$k" Port
if r get "$k" Port 2>/dev/null; then echo "deleted value still there"; exit 1; fi
r delete "$k"
if r list "$k" 2>/dev/null; then echo "deleted key still there"; exit 1; fi
r --help | grep -q usage
echo ok
# Wrong calls: one line naming the problem, exit 2.
set +e
out=$("$qmreg" --bogus 2>&1); st=$?
set -e
[ "$st" = 2 ] && [ "$out" = "qmreg: unknown option --bogus (see --help)" ] || { echo "bad option: $st $out"; exit 1; }
set +e
out=$(r setnum "$k" Port 12x 2>&1); st=$?
set -e
[ "$st" = 2 ] && [ "$out" = "qmreg: not a 32-bit number: 12x (see --help)" ] || { echo "bad number: $st $out"; exit 1; }

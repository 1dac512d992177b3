#!/usr/bin/env bash
# qmconf end to end in a throw-away root.
set -euo pipefail
qmconf="$1"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/bin" "$root/conf"
c() { "$qmconf" --root "$root" "$@"; }
c set QMC_BroadIPLocal OFF QMC_BroadIPAdr6 127.0.0.71
[ "$(c get QMC_BroadIPLocal)" = OFF ]
[ "$(c get QMC_BroadIPAdr6 QMC_BroadIPLocal)" = $'127.0.0.71\nOFF' ]
c set QMC_BroadIPAdr6 ""
[ "$(c get QMC_BroadIPAdr6)" = "" ]
# QM_ROOT works as well as --root.
[ "$(QM_ROOT="$root" "$qmconf" get QMC_BroadIPLocal)" = OFF ]
if c set QMC_BroadIPAdr7 2>/dev/null; then echo "odd set must fail"; exit 1; fi
if c set QMC_BroadIPAdr7 "$(printf 'x%.0s' {1..300})" 2>/dev/null; then echo "long value must fail"; exit 1; fi
if c frob 2>/dev/null; then echo "unknown command must fail"; exit 1; fi
c --help | grep -q usage
echo ok

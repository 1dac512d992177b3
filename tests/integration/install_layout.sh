#!/usr/bin/env bash
# Installs the build into a temporary root and checks what the network can reach: bin/ holds
# only libraries and CGI programs, the tools and the server live in sbin/ and still run, and
# /cgi-bin/ runs Qmcgipst but refuses every tool.
set -euo pipefail
build="$1"
root=$(mktemp -d /tmp/qmlayout.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A root installed before the tools moved: a stale tool in bin/ must not survive an install.
mkdir -p "$root/bin"
printf '#!/bin/sh\necho stale\n' > "$root/bin/qmreg"
chmod 755 "$root/bin/qmreg"
cmake --install "$build" --prefix "$root" >/dev/null

tools=(qmreg qmconf qmpage qmsnmp qmisamls qmhttpd)
for t in "${tools[@]}"; do
  [ -x "$root/sbin/$t" ] || fail "sbin/$t missing"
  [ ! -e "$root/bin/$t" ] || fail "bin/$t is within the web's reach"
done
for p in Qmcgi Qmcgipst; do [ -x "$root/bin/$p" ] || fail "bin/$p missing"; done
# Every program left in bin/ is one meant for CGI.
for f in "$root"/bin/*; do
  case "$(basename "$f")" in
    Qmcgi|Qmcgipst|nph-*|*.so|*.so.*|*.txt|*.ini) ;;
    *) [ -x "$f" ] && fail "unexpected program bin/$(basename "$f")" ;;
  esac
done
# The tools find their libraries in bin/ through their run path.
env -u QM_ROOT "$root/sbin/qmreg" get 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Httpd' Port \
  | grep -q 8080 || fail "sbin/qmreg does not run"
"$root/sbin/qmconf" --root "$root" get QMC_MaxLogSize | grep -q 524288 || fail "sbin/qmconf does not run"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# No --root and no QM_ROOT: the server finds its root as the parent of sbin/.
env -u QM_ROOT "$root/sbin/qmhttpd" --port "$port" 2>"$root/log/qmhttpd.err" &
pid=$!
up=0
for _ in $(seq 300); do
  if curl -fs "http://127.0.0.1:$port/" >/dev/null 2>&1; then up=1; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ "$up" = 1 ] || { cat "$root/log/qmhttpd.err"; fail "qmhttpd from sbin/ did not come up"; }
grep -q "serving $root " "$root/log/qmhttpd.err" || fail "qmhttpd took another root: $(cat "$root/log/qmhttpd.err")"

status() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$1"; }
for t in "${tools[@]}" qmreg.exe qmhttpd.exe; do
  code=$(status "/cgi-bin/$t")
  [ "$code" = 404 ] || [ "$code" = 403 ] || fail "/cgi-bin/$t answered $code"
done
code=$(status "/cgi-bin/qmreg?get")
[ "$code" = 404 ] || fail "/cgi-bin/qmreg?get answered $code"
code=$(status "/cgi-bin/Qmcgipst.exe?GetFileName=none.gif")
[ "$code" = 200 ] || fail "Qmcgipst answered $code"
page=$(curl -fs "http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=index.htm")
grep -q 'Printer management' <<<"$page" || fail "the first page is not served"
echo "ok: tools in sbin/, /cgi-bin/ refuses them, CGI programs and pages served"

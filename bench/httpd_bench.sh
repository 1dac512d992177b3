#!/usr/bin/env bash
# qmhttpd under load, measured with wrk in one run:
#   1. a 10 KB static file from qmhttpd and from lighttpd serving the same folder;
#   2. a cached interpreted page of similar size, directly (/qm?...) and through Qmcgi;
# and qmhttpd's idle memory. Usage: bench/httpd_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/normal}"
secs="${2:-5}"
root=$(mktemp -d /tmp/qmbench.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

cmake --install "$build" --prefix "$root" >/dev/null
head -c 10240 /dev/urandom | base64 -w 100 | head -c 10240 > "$root/htdocs/file10k.txt"
# A page of about 10 KB: a loop writing table rows.
{
  echo '<html><body><table>'
  echo '[% $I = 0 %][% WHILE ($I < 160) %]<tr><td>row [% OUTHTML($I) %]</td><td>some text here</td></tr>'
  echo '[% $I = $I + 1 %][% ENDWHILE %]</table></body></html>'
} > "$root/html/en/bench.htm"

qport=$(free_port); lport=$(free_port)
"$root/bin/qmhttpd" --root "$root" --port "$qport" 2>/dev/null & pids+=($!)
cat > "$root/lighttpd.conf" <<CONF
server.document-root = "$root/htdocs"
server.port = $lport
server.bind = "127.0.0.1"
server.errorlog = "$root/log/lighttpd-error.log"
mimetype.assign = (".txt" => "text/plain")
CONF
lighttpd -D -f "$root/lighttpd.conf" & pids+=($!)
for _ in $(seq 100); do
  curl -fs "http://127.0.0.1:$qport/file10k.txt" >/dev/null 2>&1 && curl -fs "http://127.0.0.1:$lport/file10k.txt" >/dev/null 2>&1 && break
  sleep 0.1
done
qpid=${pids[0]}
idle_kb=$(awk '/VmRSS/ {print $2}' "/proc/$qpid/status")

rate() {  # wrk requests/second for a URL
  wrk -t2 -c16 -d"${secs}s" "$1" 2>/dev/null | awk '/Requests\/sec/ {print $2}'
}
page="LANGUAGE=en&TEMPLATE=bench.htm"
curl -fs "http://127.0.0.1:$qport/qm?$page" >/dev/null   # builds the cache
size=$(curl -fs "http://127.0.0.1:$qport/qm?$page" | wc -c)
s_q=$(rate "http://127.0.0.1:$qport/file10k.txt")
s_l=$(rate "http://127.0.0.1:$lport/file10k.txt")
p_d=$(rate "http://127.0.0.1:$qport/qm?$page")
p_c=$(rate "http://127.0.0.1:$qport/cgi-bin/Qmcgi.exe?$page")
echo "static 10 KB file: qmhttpd $s_q req/s, lighttpd $s_l req/s, lighttpd/qmhttpd = $(python3 -c "print(round($s_l/$s_q,2))")"
echo "page of $size bytes: direct $p_d req/s, through Qmcgi $p_c req/s, direct/Qmcgi = $(python3 -c "print(round($p_d/$p_c,1))")"
echo "qmhttpd idle resident memory: $((idle_kb / 1024)) MB ($idle_kb kB)"

#!/usr/bin/env bash
# qmhttpd's memory under steady load: the printer list page for N simulated printers requested
# by wrk with a few clients for MINUTES, everything at the lowest CPU priority so that other
# work goes on. Prints the server's resident memory and open descriptors once a minute.
#   bench/page_memory.sh BIN [MINUTES] [N] [CLIENTS]
# BIN is a build's bin/ folder; defaults: 30 minutes, 5 printers, 2 clients.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "$1" && pwd)"
minutes="${2:-30}"; n="${3:-5}"; clients="${4:-2}"
command -v wrk >/dev/null || { echo "page_memory.sh: wrk not found (Debian package wrk)" >&2; exit 3; }
state=$(mktemp -d); root=$(mktemp -d); pids=()
snmp_port=$((20000 + RANDOM % 20000))
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$src/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true
  rm -rf "$state" "$root"
}
trap cleanup EXIT
renice -n 19 $$ >/dev/null   # everything started from here inherits it

. "$src/bench/lib/page_site.sh"
start_printers "$n" 127.0.4 0050C2B3
serve_root "$bin" "$root" 127.0.4
server=${pids[-1]}
echo "printers listed: $listed of $n"

wrk -t1 -c"$clients" -d"${minutes}m" --timeout 120s "$url" > "$state/wrk.out" 2>&1 & pids+=($!)
load=${pids[-1]}
sample() {
  printf '%4s min  rss %7s kB  fds %4s\n' "$1" "$(awk '/VmRSS/ {print $2}' "/proc/$server/status")" \
    "$(ls "/proc/$server/fd" | wc -l)"
}
sample 0
for ((m = 1; m <= minutes; m++)); do
  sleep 60
  kill -0 "$server" 2>/dev/null || { echo "qmhttpd ended"; exit 1; }
  sample "$m"
done
wait "$load" || true
awk '/requests in|Requests\/sec|Non-2xx|Socket errors/' "$state/wrk.out"
sample end

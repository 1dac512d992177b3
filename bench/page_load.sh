#!/usr/bin/env bash
# The printer list page (printers.htm) served by qmhttpd for N simulated printers,
# measured with wrk at 1 client and at 8 clients, for two builds in one run (a build of main
# and the build under test, say), each in an installation root of its own against the same
# printers. Prints pages/s and the 8:1 ratio of each build, and the CPU time per page that the
# server and the agents took (the agents are Python processes: on a busy machine they, not the
# server, bound the rate), with the machine's load average.
#   bench/page_load.sh BEFORE_BIN AFTER_BIN [N] [SECONDS]
# BIN is a build's bin/ folder (build/normal/bin). N defaults to 50 printers, SECONDS (per
# measurement) to 20.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
before="$(cd "$1" && pwd)"; after="$(cd "$2" && pwd)"
n="${3:-50}"; secs="${4:-20}"
command -v wrk >/dev/null || { echo "page_load.sh: wrk not found (Debian package wrk)" >&2; exit 3; }
state=$(mktemp -d); roots=(); pids=()
snmp_port=$((20000 + RANDOM % 20000))
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$src/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true
  rm -rf "$state" "${roots[@]}"
}
trap cleanup EXIT
. "$src/bench/lib/page_site.sh"
start_printers "$n" 127.0.3 0050C2B2

# An installation root for one build against those printers. Sets $url and $listed.
serve() {
  local root
  root=$(mktemp -d); roots+=("$root")
  serve_root "$1" "$root" 127.0.3
}

# CPU seconds (user + system) so far of one process, and of every agent.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
agent_ticks() {
  local pid t=0
  while read -r pid _; do t=$((t + $(ticks "$pid"))); done < "$state/agents"
  echo "$t"
}

# wrk pages/s at `clients` connections; failed or non-200 answers are reported, and the CPU
# time per page of the server and of the agents.
measure() {
  local clients="$1" out errors server="${pids[-1]}" s0 a0 s1 a1 pages hz
  hz=$(getconf CLK_TCK)
  s0=$(ticks "$server"); a0=$(agent_ticks)
  out=$(wrk -t"$((clients < 2 ? 1 : 2))" -c"$clients" -d"${secs}s" --timeout 120s "$url" 2>&1)
  s1=$(ticks "$server"); a1=$(agent_ticks)
  errors=$(awk '/Non-2xx|Socket errors/ {printf "%s ", $0}' <<<"$out")
  [ -n "$errors" ] && echo "    ($clients clients: $errors)" >&2
  pages=$(awk '/requests in/ {print $1}' <<<"$out")
  echo "    $clients client(s): $pages pages; CPU per page: server $(( (s1 - s0) * 1000 / hz / (pages > 0 ? pages : 1) )) ms," \
       "agents $(( (a1 - a0) * 1000 / hz / (pages > 0 ? pages : 1) )) ms; load average $(cut -d' ' -f1 /proc/loadavg)" >&2
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}

declare -A rate
for which in before after; do
  bin=$before; [ "$which" = after ] && bin=$after
  serve "$bin"
  echo "$which: $bin, $listed of $n printers listed" >&2
  [ "$listed" -eq "$n" ] || echo "    (not every printer listed)" >&2
  rate[$which,1]=$(measure 1)
  rate[$which,8]=$(measure 8)
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
done

printf '%-8s %14s %14s %8s\n' build "1 client p/s" "8 clients p/s" "8:1"
for which in before after; do
  printf '%-8s %14s %14s %8s\n' "$which" "${rate[$which,1]}" "${rate[$which,8]}" \
    "$(python3 -c "print(round(${rate[$which,8]}/${rate[$which,1]},2))")"
done

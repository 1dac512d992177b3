#!/usr/bin/env bash
# The management site in headless Chromium against the simulated printers: run a discovery,
# open the printer list and every printer's page, and check what they show against the
# printers' data files. Screenshots are kept in the build folder (site-*.png).
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
root=$(mktemp -d /tmp/qmsite.XXXXXX)
chmod 755 "$root"   # the agents run as nobody and read their data below it
profile=$(mktemp -d /tmp/qmchrome.XXXXXX)
pid=""
mon=""
state="$root/run/printers"
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "$mon" ] && kill "$mon" 2>/dev/null
  "$source_dir/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true
  wait 2>/dev/null
  rm -rf "$root" "$profile"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, getattr(socket,"SOCK_"+sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"; }
browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "chromium is not installed (scripts/setup.sh installs it)"; exit 1; }

cmake --install "$build" --prefix "$root" >/dev/null
snmp_port=$(free_port DGRAM)
net="127.0.$((RANDOM % 200 + 20))"
"$source_dir/scripts/printers.sh" start --state "$state" --port "$snmp_port" --net "$net" >/dev/null
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$snmp_port"
"$root/sbin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF \
  QMC_BroadIPAdr6 "$net.11" QMC_BroadIPAdr7 "$net.12" QMC_BroadIPAdr8 "$net.13" \
  QMC_BroadIPAdr9 "$net.14" QMC_BroadIPAdr10 "$net.15" >/dev/null
# Short time-outs keep the silent-printer case quick; answers on loopback come in milliseconds.
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpTimeout 700
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpRetries 1
port=$(free_port STREAM)
"$root/sbin/qmhttpd" --root "$root" --port "$port" 2>"$root/log/qmhttpd.err" &
pid=$!
for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/" >/dev/null 2>&1 && break; sleep 0.1; done

flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$profile")
page() { timeout 90 "$browser" "${flags[@]}" --dump-dom "http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=$1" 2>/dev/null; }
shot() { timeout 90 "$browser" "${flags[@]}" --window-size=1100,1400 --screenshot="$build/site-$2.png" \
           "http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=$1" >/dev/null 2>&1; }
expect() {  # expect NAME TEXT DOM
  grep -qF -- "$2" <<<"$3" || { echo "$1: \"$2\" not shown"; echo "$3" | sed -n '/<main>/,/<\/main>/p' | head -60; exit 1; }
}

dom=$(page discover.htm)
expect discovery "Search finished: 5 printer(s) found." "$dom"
for i in 11 12 13 14 15; do expect discovery "$net.$i" "$dom"; done
shot discover.htm discovery

dom=$(page printers.htm)
expect list "5 printer(s)." "$dom"
expect list "Quinsward LX-40" "$dom"
# The same list in Japanese: the one set of pages with the Japanese words, in UTF-8.
jdom=$(timeout 90 "$browser" "${flags[@]}" --dump-dom "http://127.0.0.1:$port/qm?LANGUAGE=ja&TEMPLATE=printers.htm" 2>/dev/null)
expect "ja list" "<h1>プリンタ一覧</h1>" "$jdom"
expect "ja list" "5 台のプリンタ。" "$jdom"
expect "ja list" "Quinsward LX-40" "$jdom"
expect "ja list" "LANGUAGE=ja&amp;TEMPLATE=printer.htm" "$jdom"
if grep -qF -e "@@" -e "printer(s)." <<<"$jdom"; then echo "ja list: English or a placeholder left"; exit 1; fi
expect list "Quinsward IJ-7" "$dom"
expect list "Ink jet" "$dom"
expect list "Error (service needed)" "$dom"
shot printers.htm list

# Every printer page, each checked against its data file.
declare -A model=([11]="Quinsward LX-40" [12]="Quinsward CX-300" [13]="Quinsward IJ-7" [14]="Quinsward MF-55" [15]="Quinsward LX-90")
declare -A supply=([11]="Black Toner Cartridge" [12]="Cyan Toner" [13]="Cyan Ink Cartridge" [14]="Cyan Toner Cartridge" [15]="Black Toner Cartridge")
keys=$(grep -o 'KEY=[^"&]*' <<<"$dom" | sort -u)
[ "$(wc -l <<<"$keys")" -eq 5 ] || { echo "list: expected 5 printer links, got: $keys"; exit 1; }
for k in $keys; do
  ip=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.unquote_plus(sys.argv[1][4:]).split(";")[1])' "$k")
  n=${ip##*.}
  pdom=$(page "printer.htm&$k")
  expect "printer $ip" "${model[$n]}" "$pdom"
  expect "printer $ip" "${supply[$n]}" "$pdom"
  expect "printer $ip" "<h2>Counters</h2>" "$pdom"
  shot "printer.htm&$k" "printer-$n"
done
pdom=$(page "printer.htm&KEY=2%3B$net.14%3B%3B0050C2A10004%3B1")
expect "alerts" "Tray 2 empty" "$pdom"
expect "alerts" "Field service" "$pdom"
expect "supplies" "some remaining" "$pdom"
expect "supplies" "Waste Toner Container <span class=\"muted\">(receptacle)</span>" "$pdom"

# The monitor logs one printer; its three logs are read in the browser as the monitor recorded
# them (4-alerts-mfp: alerts 3, 7 and 9, one life counter, six supplies).
k14="2;$net.14;;0050C2A10004;1"
q14="2%3B$net.14%3B%3B0050C2A10004%3B1"
(cd "$root/bin" && "$root/sbin/qmntf" --root "$root" watch "$k14" >/dev/null)
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Notification_Service\QMONMGR' TrapPort "$(free_port DGRAM)"
"$root/sbin/Qmonmgr" --root "$root" 2>"$root/log/qmonmgr.err" &
mon=$!
logurl="http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=devlog.htm&KEY=$q14&PAGE=1&KIND"
for _ in $(seq 120); do
  curl -fs "$logurl=2" | grep -qF "Toner cartridge" && break
  sleep 0.5
done
ldom=$(page "devlog.htm&KEY=$q14&PAGE=1&KIND=0")
expect "alert log" "<td>Tray 2 empty</td>" "$ldom"
expect "alert log" "<td>Black toner low</td>" "$ldom"
expect "alert log" "<td>Cyan toner empty</td>" "$ldom"
expect "alert log" "Records 1 to 3." "$ldom"
shot "devlog.htm&KEY=$q14&PAGE=1&KIND=0" alert-log
ldom=$(page "devlog.htm&KEY=$q14&PAGE=1&KIND=1")
expect "counter log" "<td>2203311</td><td>impressions</td>" "$ldom"
ldom=$(page "devlog.htm&KEY=$q14&PAGE=1&KIND=2")
expect "supplies log" "<td>55%</td>" "$ldom"
expect "supplies log" "Records 1 to 6." "$ldom"
pdom=$(page "printer.htm&KEY=$q14")
expect "printer logs" "TEMPLATE=devlog.htm&amp;KEY=$q14&amp;KIND=2&amp;PAGE=1" "$pdom"
kill "$mon"; wait "$mon" 2>/dev/null || true; mon=""

# A printer that stops answering is shown as such, and the page still completes.
"$source_dir/scripts/printers.sh" stop --state "$state" >/dev/null
dom=$(page printers.htm)
expect "silent list" "No answer" "$dom"
expect "silent list" "5 printer(s)." "$dom"
echo "ok: discovery, list (English and Japanese), 5 printer pages and one printer's logs checked; screenshots in $build/site-*.png"

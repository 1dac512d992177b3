#!/usr/bin/env bash
# Installs the build into a temporary root, starts qmhttpd on a free loopback port and checks
# in headless Chromium that the first management page renders (DOM text and a screenshot).
set -euo pipefail
build="$1"
root=$(mktemp -d /tmp/qmbrowser.XXXXXX)
profile=$(mktemp -d /tmp/qmchrome.XXXXXX)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$root" "$profile"; }
trap cleanup EXIT

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "chromium is not installed (scripts/setup.sh installs it)"; exit 1
fi
cmake --install "$build" --prefix "$root" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$root/sbin/qmhttpd" --root "$root" --port "$port" 2>"$root/log/qmhttpd.err" &
pid=$!
for _ in $(seq 100); do
  curl -fs "http://127.0.0.1:$port/" >/dev/null 2>&1 && break
  sleep 0.1
done
url="http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=index.htm"
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$profile")
dom=$(timeout 60 "$browser" "${flags[@]}" --dump-dom "$url" 2>/dev/null)
grep -q '<h1>Printer management</h1>' <<<"$dom" || { echo "page not rendered:"; echo "$dom" | head -20; exit 1; }
grep -q 'No answer' <<<"$dom" || { echo "template loop output missing"; exit 1; }
shot="$build/first-page.png"
rm -f "$shot"
timeout 60 "$browser" "${flags[@]}" --window-size=1000,700 --screenshot="$shot" "$url" >/dev/null 2>&1
[ -s "$shot" ] || { echo "no screenshot taken"; exit 1; }
# Through the document root: the welcome file leads to the same page.
grep -q 'TEMPLATE=index.htm' <<<"$(curl -fs "http://127.0.0.1:$port/")"
echo "ok: rendered $url; screenshot $shot"

#!/usr/bin/env bash
# ThreadSanitizer on the parts that run requests side by side: qmhttpd serving pages in
# parallel (and pages stopped or abandoned half-way), the tag library's page tests, discovery
# sessions. Builds them with -DQM_TSAN=ON in build/tsan and runs their tests; every process
# (the servers the tests start too) writes its reports to one folder.
#   tests/tsan/run.sh            (reports in build/tsan/reports)
# Exit 0 when no process reported a race, 1 otherwise (the reports are listed).
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$here"
case "${1:-}" in
  "") ;;
  -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "run.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
esac
out="$here/build/tsan/reports"
scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
tests=(httpd_page_test qmtag_test qmtag_logs_test qbapi_test)
# What the tests start or load by name besides what they link.
loaded=(qmhttpd Qmcgi qmintpr qmpage QMTAG QMNTC QMSITE qmconf qmmibgw qmdbmgr CTREESTD QBUtil QBAPI)
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_TSAN=ON -DQM_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$(nproc)" --target "${tests[@]}" "${loaded[@]}"
rm -rf "$out"; mkdir -p "$out"
# Threads the HTTP library leaves unjoined when the server exits are not races.
export TSAN_OPTIONS="log_path=$out/report halt_on_error=0 report_thread_leaks=0 exitcode=0 suppressions=$here/tests/tsan/outside.supp"
failed=0
for t in "${tests[@]}"; do
  echo "== $t"
  (cd build/tsan && "bin/$t" --gtest_brief=1) || failed=1
done
if compgen -G "$out/report.*" >/dev/null; then
  echo "ThreadSanitizer reports:"
  grep -h '^SUMMARY' "$out"/report.* | sort | uniq -c
  ls "$out"
  exit 1
fi
[ "$failed" = 0 ] && echo "no race reported" || echo "tests failed (see above)"
exit $failed

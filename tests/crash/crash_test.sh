#!/usr/bin/env bash
# Crash test of the whole suite: services killed with SIGKILL and restarted under load, then
# databases, restarts and delivered notices checked. `crash_test.sh --help` tells the options;
# without python3 the test is skipped (77), like every other missing tool.
command -v python3 >/dev/null || { echo "crash_test: python3 is not installed; skipped"; exit 77; }
exec python3 "$(dirname "$0")/crash_test.py" "$@"

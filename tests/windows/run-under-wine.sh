#!/usr/bin/env bash
# Runs one Qt Test suite built for Windows under Wine: run-under-wine.sh WINE SUITE.exe.
# Qt Test's log does not reach a pipe from a Windows program under Wine, so the log goes to a
# file, which is shown afterwards; the suite's exit status is the test's.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$1" "$2" -o "Z:${log//\//\\},txt" || status=$?
cat "$log"
exit "$status"

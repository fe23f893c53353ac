#!/usr/bin/env bash
# Runs a command on an X display of its own (Xvfb), for tests that need a real window: minimising,
# restoring and activation as the X server does them.
#
# Usage: under-xvfb.sh COMMAND [ARGUMENT...]
# Exit status: the command's; 77 (skipped) where Xvfb is missing, except under CI, where that fails.
set -euo pipefail

if ! command -v Xvfb >/dev/null; then
  [ "${CI:-}" = true ] && { echo "under-xvfb: FAIL: Xvfb is missing; run scripts/setup" >&2; exit 1; }
  echo "under-xvfb: SKIP: Xvfb is missing"
  exit 77
fi
work=$(mktemp -d)
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp > "$work/display" 2> "$work/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "under-xvfb: Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export QT_QPA_PLATFORM=xcb
status=0
"$@" || status=$?
exit "$status"

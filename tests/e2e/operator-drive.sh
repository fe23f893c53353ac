#!/usr/bin/env bash
# The real robot-console driven as an operator drives it: under Xvfb, with the simulated robot's
# pseudo-terminal bound over /dev/ttyS0 inside a private mount namespace (the machine's own serial device
# is never opened), by real pointer clicks and key presses at the window's described positions.
#
# Checks that the simulator received exactly the expected bytes, that both downloads loaded with good
# checksums, that Alt+X ends the program with status 0, and that the session left no settings file behind
# (its own or Qt's file dialog's). Screenshots of the main states are left in the
# artefact folder.
#
# Usage: operator-drive.sh BUILD_DIR SOURCE_DIR ARTEFACT_DIR
# Exit 77 (skipped) where this machine cannot make a mount namespace, except under CI, where that fails.
set -euo pipefail

build=$(realpath "$1")
source=$(realpath "$2")
artefacts=$3
mkdir -p "$artefacts"
artefacts=$(realpath "$artefacts")
work=$(mktemp -d)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "operator-drive: FAIL: $*" >&2; exit 1; }

if ! unshare --mount --propagation private true 2>/dev/null; then
  reason="this machine cannot make a private mount namespace (unshare --mount needs root or user namespaces)"
  [ "${CI:-}" = true ] && fail "$reason"
  echo "operator-drive: SKIP: $reason"
  exit 77
fi
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup"
done

# A display of our own.
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp > "$work/display" 2> "$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"

# The simulated robot, at the real line rate.
"$build/tools/robot-target-sim" --record "$work/received" > "$work/sim.out" 2> "$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do grep -q 'serial port at' "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
pty=$(sed -n 's/^robot-target-sim: serial port at //p' "$work/sim.out")
[ -c "$pty" ] || fail "the simulator gave no pseudo-terminal: $(cat "$work/sim.err")"

# The user's settings folder, which must stay empty.
mkdir "$work/config"
export XDG_CONFIG_HOME="$work/config"

# The console, with the pty standing in for COM1 in a namespace of its own; /run/lock is private too, so
# that no lock file of the machine's is touched.
unshare --mount --propagation private -- sh -c '
  mount -t tmpfs tmpfs /run/lock && mount --bind "$1" /dev/ttyS0 && exec "$2"' \
  sh "$pty" "$build/robot-console" > "$work/console.out" 2>&1 &
console=$!
pids+=($console)

window=$(timeout 20 xdotool search --sync --onlyvisible --name '그래 잘가라!' | head -n1) \
  || fail "the console window never appeared: $(cat "$work/console.out")"
xdotool windowfocus --sync "$window"
eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y of the client area

shot() { import -window root -crop "737x348+$X+$Y" "$artefacts/$1.png"; }
click() { xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1; sleep 0.15; }
key() { xdotool key --window "$window" "$@"; sleep 0.15; }
wait_for_load() {
  local count=$1
  for _ in $(seq 300); do
    [ "$(grep -c '^robot-target-sim: load LOADED' "$work/sim.out")" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "download $count did not load: $(grep 'load' "$work/sim.out" || true)"
}
choose_file() {
  key ctrl+d
  sleep 0.8
  xdotool type --delay 5 "$1"
  xdotool key Return
}

shot start

# The direction pad: centres of SpeedButton1..5 inside GroupBox1 at 8,16.
click 116 76      # up       F
click 60 132      # left     L
click 172 132     # right    R
click 116 188     # down     B
click 116 132     # stop     S

# Monitor commands from the function keys.
key F1; sleep 1.5; shot help
key F2; sleep 3; key F3; sleep 0.5; key F4; sleep 4; shot dump
key F7; sleep 0.5

# The download: the cable button puts the monitor into load mode, Ctrl+D sends the file.
hex="$source/tools/samples/blink.hex"
click 252 300     # SpeedButton6  l
choose_file "$hex"
wait_for_load 1
sleep 0.5; shot download

click 348 300     # SpeedButton7  r
sleep 1
key F8            # q
key F6; sleep 0.5; key F8
key F5            # l, then the same file again
choose_file "$hex"
wait_for_load 2
click 396 300     # SpeedButton9  CR
key Delete        # clears the pane, sends nothing
sleep 0.3; shot cleared

# Typing into the pane.
click 480 150
xdotool type --delay 20 abc
key Return
sleep 0.5; shot typed

key alt+x
status=0
wait "$console" || status=$?
[ "$status" -eq 0 ] || fail "Alt+X ended the console with status $status: $(cat "$work/console.out")"

[ -z "$(ls -A "$work/config")" ] || fail "the console stored settings: $(cd "$work/config" && find . -type f)"

{
  printf 'FLRBShmcdpl'; tr -d '\032' < "$hex"
  printf 'rqrql'; tr -d '\032' < "$hex"
  printf '\rabc\r'
} > "$work/expected"
if ! cmp -s "$work/expected" "$work/received"; then
  cp "$work/expected" "$artefacts/expected.bin"
  cp "$work/received" "$artefacts/received.bin"
  fail "the simulator received other bytes than the operator sent ($(cmp "$work/expected" "$work/received" 2>&1 | head -n1); see expected.bin and received.bin in $artefacts)"
fi
echo "operator-drive: PASS: $(wc -c < "$work/received") bytes as sent, 2 downloads loaded, exit status 0"

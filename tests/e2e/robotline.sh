# Sourced by the end-to-end scripts: a display, the simulated robot and the real console on it. The caller
# sets `work` (a scratch folder), `pids` (processes to end on exit), `build` (the build folder) and `fail`.

# A display of our own; extra arguments go to Xvfb.
start_display() {
  Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp "$@" > "$work/display" 2> "$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  [ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export DISPLAY=":$(head -n1 "$work/display")"
}

# The simulated robot at the real line rate, recording what it receives in $work/received; extra arguments
# go to the simulator. Sets `sim` and `pty`.
start_simulator() {
  "$build/tools/robot-target-sim" --record "$work/received" "$@" > "$work/sim.out" 2> "$work/sim.err" &
  sim=$!
  pids+=($sim)
  for _ in $(seq 100); do grep -q 'serial port at' "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
  pty=$(sed -n 's/^robot-target-sim: serial port at //p' "$work/sim.out")
  [ -c "$pty" ] || fail "the simulator gave no pseudo-terminal: $(cat "$work/sim.err")"
}

# The console BINARY, with the pty standing in for COM1 in a mount namespace of its own; /run/lock is private
# too ($work/lock, so that the test can see the console's lock file), and no lock file of the machine's is
# touched. Sets `console` and, once it shows, `window`.
start_console() {
  mkdir -p "$work/lock"
  run_console unshare --mount --propagation private -- sh -c '
    mount --bind "$3" /run/lock && mount --bind "$1" /dev/ttyS0 && exec "$2"' sh "$pty" "$1" "$work/lock"
}

# The console as COMMAND starts it (which makes the namespace), waited for and focused as start_console does.
run_console() {
  "$@" > "$work/console.out" 2>&1 &
  console=$!
  pids+=($console)
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '그래 잘가라!' | head -n1) \
    || fail "the console window never appeared: $(cat "$work/console.out")"
  xdotool windowfocus --sync "$window"
}

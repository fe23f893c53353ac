# Sourced by the end-to-end scripts: a display, the simulated robot and the real console on it. The caller
# sets `work` (a scratch folder), `pids` (processes to end on exit), `build` (the build folder) and `fail`.

# Nothing where this machine can make a private mount namespace; else why not, in unshare's own words with
# ours: as a user without user namespaces it is not permitted, and in a chroot, where / is not a mount point,
# / cannot be made private (EINVAL).
namespace_refusal() {
  local said
  said=$(unshare --mount --propagation private true 2>&1) && return 0
  case "$said" in
    *"Invalid argument"*) echo "no private mount namespace here: / is not a mount point (a chroot?), so unshare cannot make it private ($said)" ;;
    *"Operation not permitted"*) echo "no private mount namespace here: unshare --mount needs root or user namespaces ($said)" ;;
    *) echo "no private mount namespace here: ${said:-unshare failed without a word}" ;;
  esac
}

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
# Every step up to the console execs the next, so that the console runs as the process started here; its
# window is found by that process, never by its title, which the caller's locale may not be able to read.
run_console() {
  "$@" > "$work/console.out" 2>&1 &
  console=$!
  pids+=($console)
  window=
  for _ in $(seq 200); do
    window=$(console_windows _NET_WM_WINDOW_TYPE_NORMAL | head -n1)
    [ -n "$window" ] && break
    kill -0 "$console" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$window" ] || fail "the console window never appeared: $(cat "$work/console.out")"
  xdotool windowfocus --sync "$window"
}

# The console's visible windows of the given type (_NET_WM_WINDOW_TYPE_NORMAL, _NET_WM_WINDOW_TYPE_DIALOG),
# bottom first: without a window manager the one shown last is on top.
console_windows() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$console" 2>/dev/null); do
    xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q "= $1\(,\|$\)" && echo "$id"
  done
  return 0
}

# The console's title as window lists read it, both the old property and the new, in a locale that can
# show it whatever the caller's; the title must read the same in both.
check_title() {
  local old new
  old=$(LC_ALL=C.UTF-8 xprop -id "$window" WM_NAME)
  new=$(LC_ALL=C.UTF-8 xprop -id "$window" _NET_WM_NAME)
  case "$old" in
    'WM_NAME(COMPOUND_TEXT) = "그래 잘가라!"' | 'WM_NAME(UTF8_STRING) = "그래 잘가라!"') ;;
    *) fail "the window's WM_NAME reads $old" ;;
  esac
  [ "$new" = '_NET_WM_NAME(UTF8_STRING) = "그래 잘가라!"' ] || fail "the window's _NET_WM_NAME reads $new"
}

#!/usr/bin/env bash
# The Windows build under Wine: the portable test suites, then the real robot-console.exe driven as an
# operator drives it, against the simulated robot.
#
# Wine maps COM1 to /dev/ttyS0, and its server opens devices on its clients' behalf. So Wine (wineboot, the
# server and every program) only ever runs inside a private mount namespace in which a pseudo-terminal is
# bound over /dev/ttyS0, every other serial node of the machine is covered by /dev/null, and /run/lock is
# empty; the server is waited for before the namespace ends. The machine's own serial devices are never
# opened.
#
#   - The suites (tst_*.exe) run with their line's far end held by tests/windows/farend.py and write their
#     results with QtTest's -o file,txt into the artefact folder; tst_popupmenu's windows show on Xvfb.
#   - robot-console.exe runs on Xvfb with the simulated robot (the Linux build's robot-target-sim) on the
#     pseudo-terminal: its window shows with the Korean title and texts, a click on the forward button puts
#     F on the line, F1 puts h, the robot's reply (code page 949 Korean included) shows in the pane, the Stop
#     ball ends a download, and Alt+X ends the program with status 0. Screenshots go to the artefact folder.
#
# Usage: tests/windows/run.sh WINDOWS_BUILD LINUX_BUILD SOURCE_DIR
# Needs root (for the namespace). Prints "windows: N passed, M failed" last.
set -euo pipefail

out=$(realpath "$1")
build=$(realpath "$2")
source=$(realpath "$3")
artefacts=$out/artifacts
rm -rf "$artefacts"
mkdir -p "$artefacts"
work=$(mktemp -d)
pids=()
passed=0
failed=0

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  cp "$work"/*.out "$work/received" "$artefacts/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "windows: FAIL: $*" >&2; exit 1; }

unshare --mount --propagation private true 2>/dev/null \
  || fail "this machine cannot make a private mount namespace (unshare --mount needs root); Wine must not run without one"
# Debian's wine64 keeps its programs in /usr/lib/wine (wine64, wineserver64).
export PATH=/usr/lib/wine:$PATH
for tool in wine64 wineserver64 Xvfb xdotool import convert /usr/bin/python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup windows test"
done
[ -x "$build/tools/robot-target-sim" ] || fail "the simulated robot is missing; build it with: ninja -C $build robot-target-sim"

export WINEPREFIX=$out/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
windows_path() { echo "Z:${1//\//\\}"; }

# Runs a command in a namespace of its own with PTY over /dev/ttyS0, and waits for Wine's server there.
in_namespace() {
  local pty=$1
  shift
  unshare --mount --propagation private -- sh -ec '
    pty=$1; shift
    mount -t tmpfs tmpfs /run/lock
    mount --bind "$pty" /dev/ttyS0
    for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA*; do
      [ -e "$node" ] && [ "$node" != /dev/ttyS0 ] && mount --bind /dev/null "$node"
    done
    status=0
    "$@" || status=$?
    wineserver64 -w || true
    exit $status' sh "$pty" "$@"
}

. "$source/tests/e2e/robotline.sh"
start_display -ardelay 60000

# The line's far end for the suites.
/usr/bin/python3 "$source/tests/windows/farend.py" > "$work/farend.out" 2>&1 &
pids+=($!)
for _ in $(seq 600); do grep -q 'relay at' "$work/farend.out" 2>/dev/null && break; sleep 0.05; done
farend_pty=$(sed -n 's/^farend: serial port at \(.*\), relay at .*/\1/p' "$work/farend.out")
export ROBOT_CONSOLE_FAR_END=$(sed -n 's/.*, relay at //p' "$work/farend.out")
[ -c "$farend_pty" ] || fail "the far end gave no pseudo-terminal: $(cat "$work/farend.out")"

# A Wine prefix of the build's own, made inside a namespace; COM1 is /dev/ttyS0 there.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows: making the Wine prefix $WINEPREFIX"
  in_namespace "$farend_pty" wine64 wineboot -i > "$work/wineboot.out" 2>&1 || fail "wineboot failed: $(tail -n5 "$work/wineboot.out")"
fi
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn /dev/ttyS0 "$WINEPREFIX/dosdevices/com1"

# tst_popupmenu clicks through the window system (SendInput), so it runs with Qt's Windows platform on the
# display; the others need no window system.
suites=(tst_cp949 tst_vtguard tst_keymap tst_vtscreen tst_commandchannel tst_popupmenu)
cat > "$work/suites.sh" <<'EOF'
out=$1; shift
for suite in "$@"; do
  status=0
  platform=offscreen
  [ "$suite" = tst_popupmenu ] && platform=windows
  QT_QPA_PLATFORM=$platform timeout 600 wine64 "$out/$suite.exe" -o "$(echo "Z:$out/artifacts/$suite.txt" | tr / '\\'),txt" \
    > "$out/artifacts/$suite.wine.out" 2>&1 || status=$?
  echo "$suite $status"
done
EOF
in_namespace "$farend_pty" sh "$work/suites.sh" "$out" "${suites[@]}" > "$work/suites.out" 2>&1 || true
for suite in "${suites[@]}"; do
  status=$(sed -n "s/^$suite \([0-9]*\)$/\1/p" "$work/suites.out")
  totals=$(grep -a '^Totals:' "$artefacts/$suite.txt" 2>/dev/null | tr -d '\r' || true)
  if [ "$status" = 0 ] && [ -n "$totals" ]; then
    passed=$((passed + 1))
    echo "windows: PASS $suite ($totals)"
  else
    failed=$((failed + 1))
    echo "windows: FAIL $suite (status ${status:-none}; ${totals:-no result})"
    grep -a -E '^(FAIL!|   Loc:)' "$artefacts/$suite.txt" 2>/dev/null | head -n 20 || tail -n 20 "$artefacts/$suite.wine.out"
  fi
done

# The console itself, on the simulated robot's line.
drive_console() {
  start_simulator
  in_namespace "$pty" wine64 "$out/robot-console.exe" > "$work/console.out" 2>&1 &
  console=$!
  pids+=($console)
  window=$(timeout 60 xdotool search --sync --onlyvisible --name '그래 잘가라!' | head -n1) \
    || { echo "the console window never appeared: $(cat "$work/console.out")"; return 1; }
  sleep 2
  xdotool windowfocus --sync "$window"
  eval "$(xdotool getwindowgeometry --shell "$window")"
  shot() { import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" "$artefacts/$1.png"; }
  click() { xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1; sleep 0.3; }
  # Wine takes keys from the X server's own input (XTEST), not sent to a window.
  key() { xdotool windowfocus --sync "$window"; xdotool key "$@"; sleep 0.3; }
  received() { cat "$work/received" 2>/dev/null || true; }
  expect_line() {
    for _ in $(seq 50); do [ "$(received)" = "$1" ] && return 0; sleep 0.1; done
    echo "after $2 the robot received '$(received | od -An -c | tr -s ' ')', not '$1'"
    return 1
  }
  shot start
  local pane_before
  pane_before=$(ink 250 10 470 300)

  click 116 76                      # the forward button of the direction pad
  expect_line F "a click on the forward button" || return 1
  key F1                            # the monitor's help: its Korean lines come in code page 949
  expect_line Fh "F1" || return 1
  sleep 3
  shot help
  local pane_after
  pane_after=$(ink 250 10 470 300)
  [ "$pane_after" -gt $((pane_before + 2000)) ] \
    || { echo "the robot's help did not show in the pane ($pane_before lit pixels before, $pane_after after)"; return 1; }

  # A download long enough to stop in the middle: the cable button (l), Ctrl+D, the file, then the Stop ball.
  local long=$work/long.hex
  awk 'BEGIN {
    for (line = 0; line < 120; ++line) {
      address = line * 16; sum = 16 + int(address / 256) + address % 256; data = ""
      for (i = 0; i < 16; ++i) { byte = 176 + (address + i) * 37 % 16; sum += byte; data = data sprintf("%02X", byte) }
      printf ":10%04X00%s%02X\r\n", address, data, (256 - sum % 256) % 256
    }
    printf ":00000001FF\r\n"
  }' > "$long"
  click 252 300                     # SpeedButton6: l
  expect_line Fhl "the cable button" || return 1
  local dialog=""
  for _ in 1 2 3; do
    key ctrl+d
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name '^열기$' | head -n1) && [ -n "$dialog" ] && break
  done
  [ -n "$dialog" ] || { shot no-dialog; echo "the file dialog did not open"; return 1; }
  sleep 1
  xdotool windowfocus --sync "$dialog"
  sleep 0.3
  shot dialog
  xdotool key ctrl+a
  xdotool type --delay 5 "$(windows_path "$long")"
  xdotool key Return
  for _ in $(seq 100); do xdotool search --onlyvisible --name '^열기$' | grep -qx "$dialog" || break; sleep 0.1; done
  xdotool search --onlyvisible --name '^열기$' | grep -qx "$dialog" && { shot dialog-stayed; echo "the file dialog did not take the path"; return 1; }
  # Without a window manager nobody hands the focus back when the dialog goes; Wine needs a moment to take it.
  xdotool windowfocus --sync "$window"
  sleep 1
  shot downloading
  click 116 132                     # the Stop ball, with most of the file still to go
  sleep 2
  shot stopped
  local line size
  line=$(received)
  size=$(wc -c < "$long")
  case "$line" in
    Fhl:10*S) ;;
    *) echo "Stop during the download: the robot received '$(received | tail -c 80 | od -An -c | tr -s ' ')'"; return 1 ;;
  esac
  [ "${#line}" -lt $((size + 4)) ] || { echo "Stop did not end the download: the whole file went out"; return 1; }
  sleep 1.5
  [ "$(received)" = "$line" ] || { echo "bytes of the file followed the stop: '$(received | tail -c 40)'"; return 1; }

  key alt+x
  local status=0
  wait "$console" || status=$?
  [ "$status" -eq 0 ] || { echo "Alt+X ended the console with status $status: $(cat "$work/console.out")"; return 1; }
}

# Lit pixels (the pane's text, light on black) in a part of the window's client area: X Y WIDTH HEIGHT.
ink() {
  import -window root -crop "$3x$4+$((X + $1))+$((Y + $2))" png:- \
    | convert png:- -colorspace gray -threshold 50% -format '%[fx:int(w*h*mean)]' info:
}

if drive_console > "$work/drive.out" 2>&1; then
  passed=$((passed + 1))
  echo "windows: PASS robot-console.exe under Wine (screenshots in $artefacts)"
else
  failed=$((failed + 1))
  echo "windows: FAIL robot-console.exe under Wine: $(cat "$work/drive.out")"
fi

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

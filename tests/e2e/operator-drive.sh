#!/usr/bin/env bash
# The real robot-console driven as an operator drives it: under Xvfb, with the simulated robot's
# pseudo-terminal bound over /dev/ttyS0 inside a private mount namespace (the machine's own serial device
# is never opened), by real pointer clicks and key presses at the window's described positions.
#
# Checks that the simulator received exactly the expected bytes, that a capture (Ctrl+Shift+L) and a saved
# text (Ctrl+Shift+S) hold the robot's replies as UTF-8 text while sending nothing, that both downloads loaded
# with good checksums, that Alt+X ends the program with status 0, and that the run left no settings file behind
# (its own or Qt's file dialog's). Screenshots of the main states are left in the
# artefact folder.
#
# Then the ways in which bytes nobody sent could reach the robot: keys without text and the menu keys in the
# pane, the target's own requests (status, cursor position, device attributes) arriving as line noise, Stop
# in the middle of a download, and closing the window during one. Nothing but what the operator typed or
# clicked may arrive, the robot may report no motion that was not commanded, the download after the stopped
# one must load, and the close must end the program at once with status 0.
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
  cp "$work/console.out" "$work/sim.out" "$work/received" "$artefacts/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "operator-drive: FAIL: $*" >&2; cp "$work/received" "$work/sim.out" "$work/console.out" "$artefacts/" 2>/dev/null || true; exit 1; }

. "$(dirname "$0")/robotline.sh"
reason=$(namespace_refusal)
if [ -n "$reason" ]; then
  [ "${CI:-}" = true ] && fail "$reason"
  echo "operator-drive: SKIP: $reason"
  exit 77
fi
for tool in Xvfb xdotool xprop import; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup"
done

# As a root shell or a container without LANG runs it: the POSIX locale, for the console and this drive,
# whatever the caller's.
unset LANG LANGUAGE LC_ALL LC_CTYPE LC_MESSAGES
# Without a window manager nobody stops key auto-repeat from filling the file dialog.
start_display -ardelay 60000

# The simulated robot, at the real line rate.
# What the line noise says: every request a terminal might answer (status, cursor position, primary and
# secondary device attributes, terminal parameters, ENQ, a window report, a setting request).
printf '\033[5n\033[6n\033[c\033[>c\033[x\005\033[18t\033P$qm\033\\' > "$work/noise"
start_simulator --noise "$work/noise"

# A folder of many names that are not UTF-8 (code page 949), for the open dialog to read during a download.
big="$work/big"
mkdir "$big"
(cd "$big" && seq -f $'\xc7\xc1\xb7\xce%06g.hex' 1 30000 | xargs touch)

# The user's settings folder, which must stay empty.
mkdir "$work/config"
export XDG_CONFIG_HOME="$work/config"

# Started in the folder that the capture's and the saving's dialogs offer first.
mkdir "$work/texts"
cd "$work/texts"
start_console "$build/robot-console"
check_title
eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y of the client area

shot() { import -window root -crop "737x348+$X+$Y" "$artefacts/$1.png"; }
click() { xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1; sleep 0.15; }
key() { xdotool windowfocus --sync "$window"; xdotool key --window "$window" "$@"; sleep 0.15; }
# The open-file dialog and the message boxes over it, bottom first (found by the console's process, as the
# window is, not by their Korean titles).
dialogs() { console_windows _NET_WM_WINDOW_TYPE_DIALOG; }
# The file dialog itself: the widest of them (its message boxes are narrower).
file_dialog() {
  local id widest="" most=0 width
  for id in $(dialogs); do
    width=$(xdotool getwindowgeometry --shell "$id" 2>/dev/null | sed -n 's/^WIDTH=//p')
    [ "${width:-0}" -gt "$most" ] && { widest=$id; most=$width; }
  done
  echo "$widest"
}
wait_for_load() {
  local count=$1
  for _ in $(seq 300); do
    [ "$(grep -c '^robot-target-sim: load LOADED' "$work/sim.out")" -ge "$count" ] && return 0
    sleep 0.1
  done
  shot "load-$count-missing"
  fail "download $count did not load: $(grep 'load' "$work/sim.out" || true)"
}
open_dialog() {
  # Wait for the dialog (a loaded machine may take a while to show it); sets `dialog`. A key press can be lost
  # while the X server hands the focus around; Ctrl+D again cannot open a second dialog.
  local attempt
  dialog=""
  for attempt in 1 2 3; do
    key ctrl+d
    for _ in $(seq 60); do dialog=$(file_dialog); [ -n "$dialog" ] && break; sleep 0.1; done
    [ -n "$dialog" ] && break
  done
  [ -n "$dialog" ] || { shot no-dialog; fail "the file dialog did not open"; }
}
choose_file() {
  # Give the dialog the keyboard and type the path.
  local attempt
  open_dialog
  # Qt's dialog can refuse a path typed at machine speed while its model still gathers the folder ("file
  # not found" for a file that exists); the path is then typed again, and the run says so.
  for attempt in 1 2 3; do
    xdotool windowfocus --sync "$dialog"
    sleep 0.3
    xdotool key ctrl+a
    xdotool type --delay 5 "$1"
    xdotool key Return
    # Gone only when none of the console's dialogs is left: a refusal shows a message box over the dialog.
    for _ in $(seq 100); do [ -z "$(dialogs)" ] && break; sleep 0.05; done
    [ -z "$(dialogs)" ] && break
    dialog=$(file_dialog)
    echo "operator-drive: note: the file dialog refused $1 (attempt $attempt); typing it again"
    shot "dialog-refused-$attempt"
    box=$(dialogs | grep -vx "$dialog" | head -n1) || true
    [ -z "$box" ] || xdotool windowfocus --sync "$box"
    xdotool key Return   # the dialog's own message box
    sleep 0.3
  done
  # Without a window manager nobody hands the focus back when the dialog goes.
  xdotool windowfocus --sync "$window"
}

save_as() {
  # Ctrl+Shift+L or Ctrl+Shift+S ($1) and its save dialog titled $2, whose offered name is taken as it stands
  # (a path typed at machine speed loses keys to the dialog's completer).
  local attempt saving=""
  for attempt in 1 2 3; do
    key "$1"
    saving=$(timeout 6 xdotool search --sync --onlyvisible --name "^$2\$" | head -n1) && [ -n "$saving" ] && break
  done
  [ -n "$saving" ] || { shot no-save-dialog; fail "$1 opened no save dialog"; }
  xdotool windowfocus --sync "$saving"
  sleep 0.3
  xdotool keyup shift ctrl
  xdotool key Return
  for _ in $(seq 100); do xdotool search --onlyvisible --name "^$2\$" | grep -qx "$saving" || break; sleep 0.05; done
  xdotool search --onlyvisible --name "^$2\$" | grep -q . && { shot save-dialog-stays; fail "the dialog of $1 or its message stayed"; }
  xdotool windowfocus --sync "$window"
}
text_file_ok() {
  # A capture or a saved text: UTF-8 without escape sequences, holding the line $2.
  [ -s "$1" ] || { shot text-file-missing; fail "$1 was not written"; }
  iconv -f UTF-8 -t UTF-8 "$1" >/dev/null || fail "$1 is not UTF-8"
  ! grep -q $'\x1b' "$1" || fail "$1 holds escape sequences"
  grep -q "$2" "$1" || fail "$1 lacks '$2': $(head -c 400 "$1")"
}

shot start

# The direction pad: centres of SpeedButton1..5 inside GroupBox1 at 8,16.
click 116 76      # up       F
click 60 132      # left     L
click 172 132     # right    R
click 116 188     # down     B
# Stop with the pop-up menu open: the first click is the one that acts.
xdotool mousemove --sync $((X + 480)) $((Y + 150)) click 3; sleep 0.3
shot menu-open
click 116 132     # stop     S

# Monitor commands from the function keys.
key F1; sleep 1.5; shot help
# The capture and the saving of the pane, which send nothing (the bytes checked at the end run on unbroken).
save_as ctrl+shift+l '기록 파일'
key F2; sleep 3; key F3; sleep 0.5; key F4; sleep 4; shot dump
key ctrl+shift+l; sleep 1.5
text_file_ok "$work/texts/APD.CAP" '^MEMORY DUMP '
save_as ctrl+shift+s '화면 내용 저장'
sleep 1.5
text_file_ok "$work/texts/APD.TXT" '^ROBOT MONITOR'
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

# Keys without text send nothing; Shift+F10 and the Menu key open the menu (Escape closes it) and send nothing.
key Down End Up Left Right Home Insert Prior Next F9 F10 F11 F12 shift+F3 shift+F9 shift+Tab
key shift+F10; sleep 0.3; shot menu-key; key Escape
key Menu; sleep 0.3; key Escape

# The target's requests arrive as noise; the console must not answer any of them.
kill -USR1 "$sim"
for _ in $(seq 50); do grep -q '^robot-target-sim: noise' "$work/sim.out" && break; sleep 0.1; done
sleep 1.5; shot noise

# A download long enough to stop in the middle: 400 records whose digits are full of B and F.
long="$work/long.hex"
awk 'BEGIN {
  for (line = 0; line < 400; ++line) {
    address = line * 16; sum = 16 + int(address / 256) + address % 256; data = ""
    for (i = 0; i < 16; ++i) { byte = 176 + (address + i) * 37 % 16; sum += byte; data = data sprintf("%02X", byte) }
    printf ":10%04X00%s%02X\r\n", address, data, (256 - sum % 256) % 256
  }
  printf ":00000001FF\r\n"
}' > "$long"
click 252 300     # l
choose_file "$long"
# While the open-file dialog reads a folder of many names that are not UTF-8, the download keeps its pace and
# Stop, beside the dialog, takes its first click.
open_dialog
for attempt in 1 2 3; do
  xdotool windowfocus --sync "$dialog"; sleep 0.3
  xdotool key ctrl+a; xdotool type --delay 5 "$big"; xdotool key Return
  before=$(stat -c %s "$work/received"); sleep 1; during=$(( $(stat -c %s "$work/received") - before ))
  # Qt's dialog may refuse a path typed at machine speed with a message box of its own (see choose_file).
  box=$(dialogs | grep -vx "$dialog" | head -n1) || true
  [ -n "$box" ] || break
  echo "operator-drive: note: the file dialog refused $big (attempt $attempt); typing it again"
  xdotool windowfocus --sync "$box"; xdotool key Return; sleep 0.3
done
[ "$during" -ge 800 ] || { shot listing; fail "while the dialog read the folder, only $during bytes of the download went out in a second"; }
xdotool mousemove --sync $((X + 116)) $((Y + 132))
sent_before_stop=$(grep -c S "$work/received" || true)
stop_clicked=$(date +%s%N)
xdotool click 1   # Stop, with most of the file still to go and the dialog open
for _ in $(seq 400); do [ "$(grep -c S "$work/received" || true)" -gt "$sent_before_stop" ] && break; sleep 0.005; done
stop_ms=$((($(date +%s%N) - stop_clicked) / 1000000))
[ "$(grep -c S "$work/received" || true)" -gt "$sent_before_stop" ] || { shot stop-lost; fail "Stop clicked beside the open dialog never reached the robot"; }
sleep 0.5; shot stopped
# Escape closes whatever of the dialog is open (a message box of its own first).
for _ in $(seq 10); do
  open=$(dialogs | tail -n1) || break
  [ -n "$open" ] || break
  xdotool windowfocus --sync "$open"; xdotool key Escape; sleep 0.3
done
[ -z "$(dialogs)" ] || { shot dialog-stays; fail "the file dialog did not close"; }
xdotool windowfocus --sync "$window"
sleep 1.5         # the monitor gives up on the broken load once the line is quiet
click 252 300     # l, and a whole download after the stopped one
choose_file "$hex"
wait_for_load 3

# Closing during a download ends the program at once, and nothing more of the file goes out.
click 252 300     # l
choose_file "$long"
sleep 1
closed_at=$(date +%s%N)
key alt+x
status=0
wait "$console" || status=$?
close_ms=$((($(date +%s%N) - closed_at) / 1000000))
[ "$status" -eq 0 ] || fail "Alt+X ended the console with status $status: $(cat "$work/console.out")"
[ "$close_ms" -lt 1000 ] || fail "Alt+X during a download took $close_ms ms to end the console"
sleep 1.5         # whatever might still have been on its way

[ -z "$(ls -A "$work/config")" ] || fail "the console stored settings: $(cd "$work/config" && find . -type f)"
[ -z "$(ls -A "$work/lock")" ] || fail "the console left a lock file behind: $(ls "$work/lock")"

# A desktop logging out (SIGTERM) during a download ends the console as Alt+X does: status 0, no lock file
# left, nothing more of the file on the line. Its bytes are checked here and kept apart from the first run's.
term_from=$(stat -c %s "$work/received")
start_console "$build/robot-console"
click 252 300     # l
choose_file "$long"
sleep 1
[ -n "$(ls -A "$work/lock")" ] || fail "the console holds COM1 without a lock file"
before_term=$(stat -c %s "$work/received")
kill -TERM "$console"
status=0
wait "$console" || status=$?
[ "$status" -eq 0 ] || fail "SIGTERM ended the console with status $status: $(cat "$work/console.out")"
sleep 1.5
[ -z "$(ls -A "$work/lock")" ] || fail "SIGTERM left the lock file behind: $(ls "$work/lock")"
after_term=$(( $(stat -c %s "$work/received") - before_term ))
[ "$after_term" -le 128 ] || fail "$after_term bytes arrived after SIGTERM"
tail -c +$((term_from + 1)) "$work/received" > "$work/term-run"
truncate -s "$term_from" "$work/received"
term_sent=$(($(wc -c < "$work/term-run") - 1))
[ "$(head -c 1 "$work/term-run")" = l ] && cmp -s -n "$term_sent" <(tail -c +2 "$work/term-run") "$long" \
  && [ "$term_sent" -lt "$(wc -c < "$long")" ] || fail "the run ended by SIGTERM put other bytes than l and the start of the file"

keep() { cp "$work/received" "$artefacts/received.bin"; cp "$work/expected" "$artefacts/expected.bin"; fail "$@"; }
{
  printf 'FLRBShmcdpl'; tr -d '\032' < "$hex"
  printf 'rqrql'; tr -d '\032' < "$hex"
  printf '\rabc\r'
} > "$work/expected"
first=$(wc -c < "$work/expected")
cmp -s -n "$first" "$work/expected" "$work/received" \
  || keep "the simulator received other bytes than the operator sent ($(cmp -n "$first" "$work/expected" "$work/received" 2>&1 | head -n1); see expected.bin and received.bin in $artefacts)"
# Then: l, the start of the long file, S; l and the short file whole; l and the start of the long file.
tail -c +$((first + 1)) "$work/received" > "$work/rest"
[ "$(head -c 1 "$work/rest")" = l ] || keep "after the typed text came '$(head -c 16 "$work/rest")', not the load command: a key or an answer reached the robot"
stop=$(grep -abo S "$work/rest" | head -n1 | cut -d: -f1)
[ -n "$stop" ] || keep "the stop byte never arrived"
cut_at=$((stop - 1))
cmp -s -n "$cut_at" <(tail -c +2 "$work/rest") "$long" || keep "what went out before Stop is not the start of the file"
[ "$cut_at" -lt "$(wc -c < "$long")" ] || keep "Stop came after the whole file"
tail -c +$((stop + 2)) "$work/rest" > "$work/after-stop"
{ printf l; tr -d '\032' < "$hex"; printf l; } > "$work/expected-after"
n=$(wc -c < "$work/expected-after")
cmp -s -n "$n" "$work/expected-after" "$work/after-stop" \
  || keep "after Stop came '$(head -c 24 "$work/after-stop" | od -An -c | tr -s ' ')', not the next download: bytes of the stopped file followed Stop"
tail -c +$((n + 1)) "$work/after-stop" > "$work/after-close"
closed=$(wc -c < "$work/after-close")
cmp -s -n "$closed" "$work/after-close" "$long" && [ "$closed" -lt "$(wc -c < "$long")" ] \
  || keep "after the window closed during the download, more than the start of the file arrived ($closed bytes)"

motions=$(sed -n 's/^robot-target-sim: motion //p' "$work/sim.out" | paste -sd, -)
[ "$motions" = "FORWARD,LEFT TURN,RIGHT TURN,BACKWARD,STOP" ] \
  || fail "the robot reported motions '$motions'; the operator commanded FORWARD,LEFT TURN,RIGHT TURN,BACKWARD,STOP"
echo "operator-drive: PASS: $(wc -c < "$work/received") bytes as sent, 3 downloads loaded, Stop cut the fourth after $cut_at bytes ($during B/s while the dialog read 30000 names; Stop to the robot in $stop_ms ms as measured here), closing cut the fifth after $closed bytes in $close_ms ms, exit status 0; SIGTERM cut a download after $term_sent bytes, status 0, lock file removed"

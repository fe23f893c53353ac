#!/usr/bin/env bash
# The Debian package as a lab desk gets it: built by CPack from this build tree, its control fields and file
# list checked, its desktop entry and AppStream metadata validated, and then unpacked into a temporary root.
# On a desk of our making (desk.sh: a private mount namespace whose only serial port is the simulated robot's
# pseudo-terminal, standing in for a USB adapter, with a private /etc; the machine's own serial devices are
# out of reach), the unpacked robot-console-com1 assigns COM1 to that adapter and the unpacked robot-console
# is started under Xvfb. F1 must reach the robot as 'h', and Alt+X end the program with status 0.
#
# Usage: packaged-start.sh BUILD_DIR
# Exit 77 (skipped) where this machine cannot make a mount namespace, except under CI, where that fails.
set -euo pipefail

build=$(realpath "$1")
work=$(mktemp -d)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "packaged-start: FAIL: $*" >&2; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli file Xvfb xdotool xprop; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup"
done

cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 \
  || fail "CPack could not build the package: $(cat "$work/cpack.log")"
debs=("$work"/out/robot-console_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "CPack made no single robot-console package: ${debs[*]}"
deb=${debs[0]}

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = robot-console ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Version)" ] || fail "no Version"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
depends=$(field Depends)
# The libraries come from the binary; the plugins, translations and font are what it loads without linking.
# hicolor-icon-theme holds the theme's index, without which desktops do not look for the menu entry's icon
# where it is installed; apt only recommends it elsewhere.
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libvterm0 libc6 \
              qt6-qpa-plugins qt6-translations-l10n fonts-nanum hicolor-icon-theme; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] \
    || fail "Depends lacks $needed: $depends"
done
[[ "$depends" != *"libqt6test"* ]] || fail "Depends names the test library: $depends"

# The file list: exactly these files, and no development aid.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort > "$work/files"
{
  echo /usr/bin/robot-console
  echo /usr/sbin/robot-console-com1
  echo /usr/share/man/man8/robot-console-com1.8.gz
  echo /usr/share/applications/kr.robotconsole.RobotConsole.desktop
  echo /usr/share/doc/robot-console/changelog.gz
  echo /usr/share/doc/robot-console/copyright
  for size in 16 22 24 32 48 64 128 256; do echo "/usr/share/icons/hicolor/${size}x${size}/apps/robot-console.png"; done
  echo /usr/share/man/man1/robot-console.1.gz
  echo /usr/share/man/ko/man1/robot-console.1.gz
  echo /usr/share/man/ko/man8/robot-console-com1.8.gz
  echo /usr/share/metainfo/kr.robotconsole.RobotConsole.metainfo.xml
} | sort > "$work/expected-files"
diff -u "$work/expected-files" "$work/files" > "$work/files.diff" \
  || fail "the package's files differ from the expected list: $(cat "$work/files.diff")"
dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u | grep -qvx root/root && fail "a file is not owned by root"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for binary in usr/bin/robot-console usr/sbin/robot-console-com1; do
  file "$root/$binary" | grep -q ', stripped' || fail "/$binary is not stripped"
done
desktop-file-validate "$root/usr/share/applications/kr.robotconsole.RobotConsole.desktop" \
  || fail "the desktop entry does not validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/kr.robotconsole.RobotConsole.metainfo.xml" > "$work/as.log" 2>&1 \
  || fail "the AppStream metadata does not validate: $(cat "$work/as.log")"
for size in 16 22 24 32 48 64 128 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/robot-console.png" | grep -q "PNG image data, $size x $size," \
    || fail "the ${size}x${size} icon is not a PNG of that size"
done
zcat "$root/usr/share/man/man1/robot-console.1.gz" | grep -q '^\.TH ROBOT-CONSOLE 1' || fail "the manual page is not section 1"
zcat "$root/usr/share/man/man8/robot-console-com1.8.gz" | grep -q '^\.TH ROBOT-CONSOLE-COM1 8' \
  || fail "robot-console-com1's manual page is not section 8"
# Under a Korean locale man shows the Korean pages, with the same commands as the English ones.
for page in man1/robot-console.1 man8/robot-console-com1.8; do
  english=$(zcat "$root/usr/share/man/$page.gz")
  korean=$(zcat "$root/usr/share/man/ko/$page.gz")
  [ "$(sed -n 1p <<< "$korean" | cut -d' ' -f1-3)" = "$(sed -n 1p <<< "$english" | cut -d' ' -f1-3)" ] \
    || fail "the Korean $page is not the same page as the English one"
  commands() { grep -o 'sudo [a-z0-9-]*\( [a-z-]*\)\?\|robot-console-com1 [a-z][a-z]*' | sort -u; }
  [ "$(commands <<< "$korean")" = "$(commands <<< "$english")" ] \
    || fail "the Korean $page gives other commands than the English one: $(diff <(commands <<< "$english") <(commands <<< "$korean") | tr '\n' ' ')"
done
if command -v man >/dev/null; then
  # MANPATH rather than -M: man looks in a path's language folders (ko/man1) only for the former. The page's
  # header is checked, not a word that man's own "no manual entry" could also hold in Korean.
  LANGUAGE= LC_ALL=C.UTF-8 MANPATH="$root/usr/share/man" MANWIDTH=80 man -L ko robot-console 2>&1 \
    | grep -q '^ROBOT-CONSOLE(1) *사용자 명령' || fail "man -L ko robot-console does not show the Korean page"
fi

. "$(dirname "$0")/robotline.sh"
reason=$(namespace_refusal)
if [ -n "$reason" ]; then
  [ "${CI:-}" = true ] && fail "$reason"
  echo "packaged-start: SKIP (the package's contents passed): $reason"
  exit 77
fi
start_display
start_simulator
stable=usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0
run_console "$(dirname "$0")/desk.sh" "$work/desk" "ttyUSB0:$pty:$stable" -- sh -c '
  "$1" assign "$2" > "$3" && exec "$4"' \
  sh "$root/usr/sbin/robot-console-com1" "$stable" "$work/assign.out" "$root/usr/bin/robot-console"
grep -qx "device=/dev/serial/by-id/$stable" "$work/desk/etc/robot-console/com1" \
  || fail "robot-console-com1 assigned no COM1: $(cat "$work/assign.out" "$work/console.out")"
check_title
xdotool key --window "$window" F1
for _ in $(seq 50); do [ -s "$work/received" ] && break; sleep 0.1; done
[ "$(cat "$work/received" 2>/dev/null)" = h ] || fail "F1 reached the robot as '$(cat "$work/received" 2>/dev/null)'"
xdotool key --window "$window" alt+x
status=0
wait "$console" || status=$?
[ "$status" -eq 0 ] || fail "Alt+X ended the packaged console with status $status: $(cat "$work/console.out")"
echo "packaged-start: PASS: $(basename "$deb"), $(stat -c %s "$deb") bytes; COM1 assigned to an adapter, the unpacked console answered F1 on it and quit"

#!/bin/sh
# A lab desk of our own making, for a command that must see serial adapters, /etc and udev as a desk does
# without touching this machine's. Runs COMMAND in a private mount namespace where:
#   /dev     is a fresh tmpfs: null, zero, random, urandom, tty, the machine's pseudo-terminals (/dev/pts)
#            and the given adapters only, so that no real serial device can be reached;
#   ADAPTER  NODE:PTY[:STABLE] stands PTY (a pseudo-terminal slave, bound over /dev/NODE) in for an adapter,
#            with /dev/serial/by-id/STABLE linking to it where given, and an entry in /sys/dev/char (a
#            tmpfs too) that makes it a serial port on a USB bus (ttyUSB*, ttyACM*) or a built-in one;
#   /etc     is the machine's under an overlay whose changes land in SCRATCH/etc (put a file there first to
#            find it in /etc);
#   /run     is an empty tmpfs with /run/lock, so that no lock file of the machine's is touched and udev
#            does not seem to run.
#
# Usage: desk.sh SCRATCH [ADAPTER...] -- COMMAND [ARGUMENT...]
# Needs root and unshare; exits 125 where the desk cannot be made, else with COMMAND's status.
set -eu

# Everything below happens in a namespace of its own, made here, never in the caller's.
if [ -z "${DESK_CALLERS_NAMESPACE:-}" ]; then
  DESK_CALLERS_NAMESPACE=$(readlink /proc/self/ns/mnt) exec unshare --mount --propagation private -- "$0" "$@"
fi
[ "$(readlink /proc/self/ns/mnt)" != "$DESK_CALLERS_NAMESPACE" ] \
  || { echo "desk: still in the caller's mount namespace" >&2; exit 125; }
unset DESK_CALLERS_NAMESPACE

fail() { echo "desk: $*" >&2; exit 125; }
scratch=$1
shift
mkdir -p "$scratch/etc" "$scratch/.etc-work" "$scratch/.pts"

mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/etc,workdir=$scratch/.etc-work" /etc \
  || fail "no overlay over /etc"
{ mount -t tmpfs -o mode=0755 tmpfs /run && mkdir -m 1777 /run/lock; } || fail "no tmpfs over /run"

{ mount --bind /dev/pts "$scratch/.pts" && mount -t tmpfs -o mode=0755 tmpfs /dev \
  && mkdir /dev/pts && mount --move "$scratch/.pts" /dev/pts; } || fail "no tmpfs over /dev"
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
{ mknod -m 0666 /dev/null c 1 3 && mknod -m 0666 /dev/zero c 1 5 && mknod -m 0666 /dev/random c 1 8 \
  && mknod -m 0666 /dev/urandom c 1 9 && mknod -m 0666 /dev/tty c 5 0; } || fail "no device nodes"
mount -t tmpfs tmpfs /sys/dev/char || fail "no tmpfs over /sys/dev/char"

while [ $# -gt 0 ] && [ "$1" != -- ]; do
  node=${1%%:*}
  rest=${1#*:}
  pty=${rest%%:*}
  stable=
  [ "$rest" = "$pty" ] || stable=${rest#*:}
  shift
  [ -c "$pty" ] || fail "$pty is not a character device"
  { : > "/dev/$node" && mount --bind "$pty" "/dev/$node"; } || fail "cannot bind $pty over /dev/$node"
  if [ -n "$stable" ]; then
    mkdir -p /dev/serial/by-id
    ln -s "../../$node" "/dev/serial/by-id/$stable"
  fi
  # As sysfs has it: /sys/dev/char/MAJOR:MINOR links to the tty's folder, which names its class and the
  # hardware device behind it; a built-in port says which chip it found (4: a 16550A).
  numbers=$(stat -L -c '%t %T' "$pty")
  entry=$(printf '%d:%d' "0x${numbers% *}" "0x${numbers#* }")
  case "$node" in
    ttyUSB*|ttyACM*) hardware=.devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/$node ;;
    *) hardware=.devices/platform/serial8250 ;;
  esac
  mkdir -p "/sys/dev/char/$hardware/tty/$node"
  ln -s ../../../../../class/tty "/sys/dev/char/$hardware/tty/$node/subsystem"
  ln -s ../.. "/sys/dev/char/$hardware/tty/$node/device"
  case "$node" in ttyUSB*|ttyACM*) ;; *) echo 4 > "/sys/dev/char/$hardware/tty/$node/type" ;; esac
  ln -s "$hardware/tty/$node" "/sys/dev/char/$entry"
done
[ "${1:-}" = -- ] || fail "usage: desk.sh SCRATCH [NODE:PTY[:STABLE]...] -- COMMAND [ARGUMENT...]"
shift
exec "$@"

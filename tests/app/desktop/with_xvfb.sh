#!/usr/bin/env bash
# Runs a command on a private X server (Xvfb), with a private runtime directory and home, so
# desktop tests can run side by side. Combine with with_pulseaudio.sh for a microphone.
set -euo pipefail
work=$(mktemp -d /tmp/orvane-xvfb.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
export QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software

# -noreset: the server would otherwise reset, and refuse connections, whenever its last client
# leaves.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
for _ in $(seq 200); do
  [ -s "$work/display" ] && DISPLAY=":$(head -n1 "$work/display")" xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done
export DISPLAY=":$(head -n1 "$work/display" 2>/dev/null)"
if ! xdpyinfo >/dev/null 2>&1; then
  echo "with_xvfb.sh: the X server did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi

"$@"

#!/usr/bin/env bash
# Runs a command on a private X server (Xvfb) and, with --audio, a private PulseAudio server whose
# default source "mic" hears whatever is played into the null sink "virt". Each run has its own
# display, runtime directory and home, so desktop tests can run side by side.
# Usage: desktop-env.sh [--audio] COMMAND...
set -euo pipefail

audio=0
if [ "${1:-}" = "--audio" ]; then audio=1; shift; fi

work=$(mktemp -d /tmp/orvane-desktop.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
export QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software

wait_for() {  # wait_for SECONDS COMMAND...: polls until COMMAND succeeds
  local tries=$(($1 * 10)); shift
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then echo "desktop-env: timed out waiting for: $*" >&2; return 1; fi
    sleep 0.1
  done
}

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 20 test -s "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"
wait_for 20 xdpyinfo

if [ "$audio" = 1 ]; then
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=virt" 2>"$work/pulse.log" &
  pids+=($!)
  wait_for 20 pactl info
  # Qt ignores monitor sources: the microphone is a remapped copy of the sink's monitor.
  pactl load-module module-remap-source master=virt.monitor source_name=mic >/dev/null
  pactl set-default-source mic
  # A low-latency reader keeps the null sink from working in 2 s blocks.
  parec --device=virt.monitor --latency-msec=10 >/dev/null &
  pids+=($!)
fi

"$@"

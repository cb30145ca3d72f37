#!/usr/bin/env bash
# Runs a command against a private PulseAudio server (works as root, without systemd or a
# session bus). Its default source "mic" hears whatever is played into the null sink "virt":
# `paplay --device=virt speech.wav` speaks into the microphone.
set -uo pipefail
root=$(mktemp -d)
export HOME=$root/home XDG_RUNTIME_DIR=$root/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset PULSE_SERVER

pulseaudio -n --daemonize=no --exit-idle-time=-1 --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=virt" >"$root/pulse.log" 2>&1 &
server=$!
reader=
cleanup() {
  [ -n "$reader" ] && kill "$reader" 2>/dev/null
  kill "$server" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT

for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "with_pulseaudio.sh: the sound server did not start:" >&2
  cat "$root/pulse.log" >&2
  exit 1
fi
# Qt lists no monitor sources, so the sink's monitor is remapped into an ordinary source.
pactl load-module module-remap-source master=virt.monitor source_name=mic >/dev/null
pactl set-default-source mic
# A low-latency reader keeps the null sink from working in 2 s blocks.
parec --device=virt.monitor --latency-msec=10 >/dev/null &
reader=$!

"$@"

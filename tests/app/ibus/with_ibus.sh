#!/usr/bin/env bash
# Runs a command with a private IBus daemon (run it inside dbus-run-session) that knows Orvane's
# engine from the component file in COMPONENT_DIR, besides the system's own engines.
# Usage: with_ibus.sh COMPONENT_DIR COMMAND...
set -uo pipefail
components=$1
shift
work=$(mktemp -d /tmp/orvane-ibus.XXXXXX)
export IBUS_ADDRESS=unix:path=$work/ibus
export IBUS_COMPONENT_PATH=/usr/share/ibus/component:$components
ibus-daemon --panel=disable --config=disable --xim=false --address="$IBUS_ADDRESS" \
  --cache=none >"$work/ibus.log" 2>&1 &
daemon=$!
cleanup() {
  # The daemon's children are its engines.
  kill $(pgrep -P "$daemon") "$daemon" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -S "$work/ibus" ] && break
  sleep 0.1
done
if [ ! -S "$work/ibus" ]; then
  echo "with_ibus.sh: the IBus daemon did not start:" >&2
  cat "$work/ibus.log" >&2
  exit 1
fi
"$@"

#!/usr/bin/env bash
# `cmake --install` places the programs, the library, the header and the desktop entry and icon
# where a desktop finds them, and the installed programs run from there.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d /tmp/orvane-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$1" --prefix "$prefix" >/dev/null
for file in bin/orvane bin/orvane-app include/orvane.h share/applications/orvane-app.desktop \
            share/icons/hicolor/scalable/apps/orvane-app.svg libexec/orvane-ibus-engine \
            share/ibus/component/orvane.xml share/fcitx5/addon/orvane.conf; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done
ls "$prefix"/lib*/liborvane.so.0 "$prefix"/lib*/fcitx5/liborvane-fcitx5.so >/dev/null
grep -qx 'Exec=orvane-app' "$prefix/share/applications/orvane-app.desktop"
grep -qx 'Icon=orvane-app' "$prefix/share/applications/orvane-app.desktop"

# The installed programs find the installed library, not the build's.
for program in orvane orvane-app; do
  lib=$(ldd "$prefix/bin/$program" | awk '/liborvane/ {print $3}')
  case "$lib" in
    "$prefix"/*) ;;
    *) echo "$program loads liborvane from '$lib'" >&2; exit 1 ;;
  esac
  "$prefix/bin/$program" --help >/dev/null
done

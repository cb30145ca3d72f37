#!/bin/sh
# Fails when a file of the engine includes a header from a layer above its own. The layers, from
# the bottom: base formats audio gpu kernels network stream (engine/include holds the public API).
cd "$(dirname "$0")/.." || exit 1
layers="base formats audio gpu kernels network stream"
rank() {
  i=0
  for l in $layers; do
    [ "$l" = "$1" ] && { echo $i; return; }
    i=$((i + 1))
  done
  echo -1
}
found=$(find engine -name '*.h' -o -name '*.cpp' | sort | while read -r f; do
  own=$(echo "$f" | cut -d/ -f2)
  r=$(rank "$own")
  [ "$r" -lt 0 ] && continue
  grep -oE '^#include "[a-z_]+/' "$f" | sed 's/#include "//; s|/$||' | sort -u | while read -r inc; do
    [ "$(rank "$inc")" -gt "$r" ] && echo "$f includes from $inc/, a layer above $own/"
  done
done)
[ -z "$found" ] && exit 0
echo "$found"
exit 1

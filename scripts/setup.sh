#!/usr/bin/env bash
# Fresh machine to a working transcriber: installs the Debian packages, builds Orvane, makes the
# small test model and transcribes a spoken sentence with it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build

model=build/tiny-model
speech=build/hello.wav
build/tools/orvane-mkmodel --shape tiny --seed 1 "$model"
espeak-ng -w "$speech" "Hello from Orvane, the local dictation tool."
echo "Transcript (random tiny model, so the words are gibberish):"
build/cli/orvane -d "$model" "$speech"

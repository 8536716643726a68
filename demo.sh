#!/usr/bin/env bash
# Builds the module for the perl on PATH, with the stand-in engine beside it,
# and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/ensure-packages.sh cmake make g++ perl binutils
cmake -S . -B build -DPLOTRUNE_PERLS="$(command -v perl)" >/dev/null
cmake --build build -j2 >/dev/null || cmake --build build
perl demo/demo.pl build/modules.tsv

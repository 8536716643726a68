#!/usr/bin/env bash
# Builds the module and the stand-in engine with AddressSanitizer and
# UndefinedBehaviorSanitizer for the host perl and runs the whole test suite
# with the sanitizers preloaded into perl (and so into the child perls the
# tests start).  Any sanitizer report fails the test it arose in; leaks are
# checked at exit with PERL_DESTRUCT_LEVEL=2.
#
# Usage: tools/sanitize.sh [CTEST ARGS ...]   (build folder: $PLOTRUNE_BUILD, default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PLOTRUNE_BUILD:-build-asan}
bash tools/ensure-packages.sh cmake make g++ perl binutils

cmake -S . -B "$build" -DPLOTRUNE_PERLS="$(command -v perl)" -DPLOTRUNE_SANITIZE=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
cd "$build" && ctest --output-on-failure -j2 "$@"

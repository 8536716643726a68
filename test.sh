#!/usr/bin/env bash
# Builds the module for every perl given (default: the perl on PATH) and runs
# the whole test suite under each, then prints what ran and how it went,
# which supported configurations that covered (or how to cover them), and a
# closing count.  Usage: ./test.sh [PERL ...]   (build folder: $PLOTRUNE_BUILD, default build-test)
set -euo pipefail
cd "$(dirname "$0")"
perls=("$@")
[[ ${#perls[@]} -gt 0 ]] || perls=("$(command -v perl)")
build=${PLOTRUNE_BUILD:-build-test}

bash tools/ensure-packages.sh cmake make g++ perl binutils gcc-multilib g++-multilib
# Perls of another processor (i386, aarch64) need a kernel that runs its
# programs, or user-mode emulation.
bash tools/emulation.sh setup "${perls[@]}"

status=0
bash tools/build.sh --test "$build" "${perls[@]}" -- --output-junit results.xml || status=$?
echo
perl tools/summary.pl data/configurations.tsv "$build/modules.tsv" "$build/results.xml"
exit $status

#!/usr/bin/env bash
# The one configure, build and test sequence of the scripts here: builds the
# module for every perl given in one build folder (-D options go to CMake),
# quietly unless the build fails; with --test, then runs its tests, with
# what follows -- for ctest.
# Usage: tools/build.sh [--test] FOLDER [-DOPTION=VALUE ...] PERL ... [-- CTEST-OPTION ...]
set -euo pipefail
test=''
[[ ${1-} != --test ]] || { test=1; shift; }
build=$1 options=() perls=()
shift
for arg; do
  shift
  [[ $arg != -- ]] || break
  if [[ $arg == -D* ]]; then options+=("$arg"); else perls+=("$arg"); fi
done
# A fresh cache: no option of an earlier configure lingers.
rm -f "$build/CMakeCache.txt"
cmake -S "$(dirname "$0")/.." -B "$build" -DPLOTRUNE_PERLS="$(IFS=';'; echo "${perls[*]}")" \
  "${options[@]+"${options[@]}"}" >/dev/null
cmake --build "$build" -j2 >/dev/null || { cmake --build "$build"; exit 1; }
[[ -z $test ]] || { cd "$build" && ctest --output-on-failure -j2 "$@"; }

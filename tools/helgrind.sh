#!/usr/bin/env bash
# Runs the thread test (t/threads.t, shortened as under valgrind) under
# valgrind's helgrind on the host perl, and fails on any data race or lock
# misuse helgrind reports.  Not part of CI: it takes a minute or so.
#
# Usage: tools/helgrind.sh   (build folder: $PLOTRUNE_BUILD, default build-memcheck)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${PLOTRUNE_BUILD:-build-memcheck}
bash tools/ensure-packages.sh cmake make g++ perl valgrind

perl=$(command -v perl)
"$perl" -MConfig -e 'exit($Config{useithreads} ? 0 : 1)' || { echo "helgrind: $perl has no threads" >&2; exit 0; }
bash tools/build.sh "$build" "$perl"
build=$(cd "$build" && pwd)
manifest="$build/modules.tsv"
log="$build/helgrind.log"
status=0
env PLOTRUNE_UNDER_VALGRIND=1 PLOTRUNE_MODULES="$manifest" \
  valgrind --tool=helgrind --error-exitcode=3 --log-file="$log" \
  "$perl" -I"$root/t/lib" t/threads.t || status=$?
grep 'ERROR SUMMARY' "$log" | tail -n 1
exit $status

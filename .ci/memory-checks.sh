#!/usr/bin/env bash
# The whole suite under valgrind memcheck: on the host perl, and on a
# supported 32-bit configuration with threads, the target itself (valgrind
# needs the i386 C library's debug symbols to run it), side by side, one
# process each.  Each is a check of its own; their logs are printed in turn.
# Usage: .ci/memory-checks.sh HOST-PERL [TARGET-PERL]
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source .ci/lib.sh
host=$1 target=${2:-}

bash tools/ensure-packages.sh valgrind libc6-dbg:i386 clang-14 libclang-rt-14-dev
declare -A pid=()
PERL=$host PLOTRUNE_BUILD=build-ci-memcheck bash tools/memcheck.sh > build-ci-logs/host-memcheck.log 2>&1 &
pid[host-memcheck]=$!
if [[ -n $target ]]; then
  PERL=$target PLOTRUNE_BUILD=build-ci-memcheck-i386 bash tools/memcheck.sh > build-ci-logs/i386-memcheck.log 2>&1 &
  pid[i386-memcheck]=$!
else
  echo "ci: no archived 5.12 or 5.14 perl with threads and a 64-bit IV: the 32-bit memory check is skipped"
fi
for name in host-memcheck i386-memcheck; do
  [[ -n ${pid[$name]:-} ]] || continue
  check "$name" wait "${pid[$name]}"
  echo "ci: $name"
  cat "build-ci-logs/$name.log"
done

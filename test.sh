#!/usr/bin/env bash
# Builds the module for every perl given (default: the perl on PATH) and runs
# the whole test suite under each, then prints what ran and how it went,
# which supported configurations that covered (or how to cover them), and a
# closing count.
# Usage: ./test.sh [--call-path] [PERL ...]   (build folder: $PLOTRUNE_BUILD, default build-test)
#   --call-path   only the tests of the call path and the conversions
set -euo pipefail
cd "$(dirname "$0")"
usage="usage: ./test.sh [--call-path] [PERL ...]   (build folder: \$PLOTRUNE_BUILD, default build-test)"
select=()
perls=()
for arg; do
  case $arg in
    --call-path) select=(-L call-path) ;;
    -h|--help) echo "$usage"; exit 0 ;;
    -*) echo "test.sh: unknown option $arg" >&2; echo "$usage" >&2; exit 2 ;;
    *) perls+=("$arg") ;;
  esac
done
[[ ${#perls[@]} -gt 0 ]] || perls=("$(command -v perl)")
build=${PLOTRUNE_BUILD:-build-test}

bash tools/ensure-packages.sh cmake make g++ perl binutils gcc-multilib g++-multilib
# Perls of another processor (i386, aarch64) need a kernel that runs its
# programs, or user-mode emulation, which runs them with the C library of
# the sysroot the build rules name.
bash tools/emulation.sh setup "${perls[@]}"
while read -r setting; do export "$setting"; done < <(bash tools/emulation.sh env)

status=0
bash tools/build.sh --test "$build" "${perls[@]}" -- --output-junit results.xml "${select[@]+"${select[@]}"}" || status=$?
echo
perl tools/summary.pl data/configurations.tsv "$build/modules.tsv" "$build/results.xml"
exit $status

#!/usr/bin/env bash
# The whole suite under a memory checker: valgrind memcheck on the host
# perl, and on a supported 32-bit configuration with threads, the target
# itself: memcheck where valgrind runs i386 code (with the i386 C library's
# debug symbols), which it cannot under emulation; there, the suite of a
# build compiled with ASan and UBSan, with the i386 runtimes of Debian's
# multilib packages.  The two run side by side, one process each; each is a
# check of its own, its log printed in turn.  Then boots in several threads
# at once under DRD, on the host perl.
# Usage: .ci/memory-checks.sh I386-MODE HOST-PERL [TARGET-PERL]   (mode: tools/emulation.sh mode i386)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source .ci/lib.sh
mode=$1 host=$2 target=${3:-}

tools=(valgrind clang-14 libclang-rt-14-dev)
if [[ $mode == emulated ]]; then
  i386_check=i386-sanitize i386_tool=sanitize i386_what="ASan and UBSan build (valgrind runs no i386 code under emulation)"
  tools+=(lib32asan8 lib32ubsan1)
else
  i386_check=i386-memcheck i386_tool=memcheck i386_what="valgrind memcheck"
  tools+=(libc6-dbg:i386)
fi
bash tools/ensure-packages.sh "${tools[@]}" ||
  echo "ci: not every tool of the checks below could be installed: a check that needs a missing one fails"

# Starts check NAME: tools/TOOL.sh on PERL in build-ci-NAME, its output in
# the check's log.
declare -A pid=() what=()
start() {
  local name=$1 tool=$2 perl=$3
  what[$name]="$4 on $perl"
  PERL=$perl PLOTRUNE_BUILD=build-ci-$name bash "tools/$tool.sh" > "build-ci-logs/$name.log" 2>&1 &
  pid[$name]=$!
}
start host-memcheck memcheck "$host" "valgrind memcheck"
if [[ -n $target ]]; then
  start "$i386_check" "$i386_tool" "$target" "$i386_what"
else
  echo "ci: no archived 5.12 or 5.14 perl with threads and a 64-bit IV: the 32-bit memory check is skipped"
fi
for name in host-memcheck "$i386_check"; do
  [[ -n ${pid[$name]:-} ]] || continue
  check "$name" wait "${pid[$name]}"
  echo "ci: $name: ${what[$name]}"
  cat "build-ci-logs/$name.log"
  note "memory check $name: ${what[$name]}"
done

# Boots in several threads at once under DRD: no conflict in the module or
# the engine (under a minute).
PLOTRUNE_BUILD=build-ci-drd check host-drd bash tools/drd.sh > build-ci-logs/host-drd.log 2>&1
echo "ci: host-drd: concurrent boots under valgrind's DRD on $host"
cat build-ci-logs/host-drd.log
note "thread check host-drd: concurrent boots under valgrind's DRD on $host"

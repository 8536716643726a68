#!/usr/bin/env bash
# Runs the whole test suite under valgrind memcheck on one perl (the host
# perl, or $PERL: a 32-bit one needs Debian's libc6-dbg:i386), with
# PERL_DESTRUCT_LEVEL=2 so that the interpreter frees what it still holds at
# exit and every block left over is a real leak.  Child perls the tests
# start (in_child) are traced too; the shell and binutils tools some tests
# run are not (they are not ours, and tracing them only costs time).
#
# Fails on any memory error (invalid read, write or free, use of
# uninitialised values, overlapping copies) wherever it arises, and on any
# definitely or indirectly lost block allocated from the module or the
# stand-in engine.  Leaks whose allocation stack holds neither are perl's own
# and are counted, not failed.
#
# Usage: [PERL=perl] tools/memcheck.sh [TEST.t ...]   (default: every t/*.t)
# Build folder: $PLOTRUNE_BUILD (default build-memcheck); logs in its memcheck/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${PLOTRUNE_BUILD:-build-memcheck}
perl=${PERL:-$(command -v perl)}
packages=(cmake make g++ perl binutils valgrind)
cpu=$(bash tools/emulation.sh cpu "$perl")
bash tools/emulation.sh check "$perl"
# valgrind stops at the first instruction of foreign code that qemu runs.
if [[ $(bash tools/emulation.sh mode "$cpu") == emulated ]]; then
  echo "memcheck: valgrind cannot run $cpu code under emulation ($(bash tools/emulation.sh status "$cpu"))" \
       "$([[ $cpu == i386 ]] && echo "; the 32-bit memory check there is: PERL=$perl tools/sanitize.sh")" >&2
  exit 1
fi
# valgrind cannot start a 32-bit program without the i386 loader's symbols.
[[ $("$perl" -MConfig -e 'print $Config{ptrsize}') != 4 ]] || packages+=(gcc-multilib g++-multilib libc6-dbg:i386)
bash tools/ensure-packages.sh "${packages[@]}"

bash tools/build.sh "$build" "$perl"
build=$(cd "$build" && pwd)
manifest="$build/modules.tsv"

tests=("$@")
[[ ${#tests[@]} -gt 0 ]] || tests=(t/*.t)
logs="$build/memcheck"
rm -rf "$logs"
mkdir -p "$logs"

failed_tests=()
for test in "${tests[@]}"; do
  name=$(basename "$test" .t)
  echo "memcheck: $name" >&2
  # PLOTRUNE_UNDER_VALGRIND lets long-running tests shorten their loops.
  if ! env PERL_DESTRUCT_LEVEL=2 PLOTRUNE_UNDER_VALGRIND=1 \
      PLOTRUNE_MODULES="$manifest" \
      valgrind --tool=memcheck --trace-children=yes --child-silent-after-fork=yes \
        --trace-children-skip='*/sh,*/dash,*/bash,*/nm,*/readelf,*/objdump' \
        --leak-check=full --show-leak-kinds=definite,indirect \
        --num-callers=40 --error-exitcode=0 \
        --suppressions="$root/tools/memcheck.supp" \
        --log-file="$logs/$name.%p.log" \
        "$perl" -I"$root/t/lib" "$test" > "$logs/$name.tap" 2> "$logs/$name.stderr"; then
    failed_tests+=("$name")
    echo "memcheck: $name: the test itself failed (see $logs/$name.tap)" >&2
  fi
done

# Does this perl free its heap at exit?  If not, only the module's and the
# engine's own allocations can be told apart from what perl keeps.
in_use=$(PERL_DESTRUCT_LEVEL=2 valgrind --leak-check=no "$perl" -e 'my @kept = map { "x$_" } 1 .. 1000' 2>&1 |
         sed -n 's/.*in use at exit: \([0-9,]*\) bytes.*/\1/p' | tr -d ,)
report_args=()
if [[ ${in_use:-0} -gt 65536 ]]; then
  echo "memcheck: $perl keeps $in_use bytes at exit: counting only the module's and engine's own allocations as theirs" >&2
  report_args+=(--direct)
fi

status=0
perl tools/memcheck-report.pl "${report_args[@]+"${report_args[@]}"}" "$logs" "$manifest" || status=$?
if [[ ${#failed_tests[@]} -gt 0 ]]; then
  echo "memcheck: tests that failed under valgrind: ${failed_tests[*]}" >&2
  status=1
fi
exit $status

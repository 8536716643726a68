#!/usr/bin/env bash
# The environment of a sanitized run, one NAME=value a line: the tests of
# the sanitizer build (cmake/PlotruneBuild.cmake) and tools/fuzz.sh take it.
# PERL_DESTRUCT_LEVEL=2 makes perl free what it holds at exit, so that the
# leak check sees only real leaks.  Given a compiler (with its flags, -m32
# for a 32-bit perl), also the LD_PRELOAD of its ASan and UBSan runtimes,
# for a perl that is not instrumented itself.
# Usage: tools/sanitizer-env.sh LEAKS [CXX FLAG ...]   (LEAKS: ON or OFF, as CMake says yes or no)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
leaks=0
[[ ! ${1^^} =~ ^(1|ON|YES|TRUE|Y)$ ]] || leaks=1
shift
[[ $# -eq 0 ]] || echo "LD_PRELOAD=$("$@" -print-file-name=libasan.so) $("$@" -print-file-name=libubsan.so)"
echo PERL_DESTRUCT_LEVEL=2
echo "ASAN_OPTIONS=detect_leaks=$leaks:strict_string_checks=1:detect_stack_use_after_return=1"
echo UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0"

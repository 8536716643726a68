#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_readers.cpp (the module's source
# compiled into an embedding of the host libperl, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and the stand-in engine beside it, then fuzzes
# for the given number of seconds (default 60), starting from the corpus kept
# in fuzz/corpus.  New inputs found go to the build folder's corpus, not into
# the repository; a crash leaves its input in the build folder and fails.
#
# Usage: tools/fuzz.sh [SECONDS] [LIBFUZZER ARGS ...]
# Build folder: $PLOTRUNE_BUILD (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true
build=${PLOTRUNE_BUILD:-build-fuzz}
bash tools/ensure-packages.sh perl clang-14 libclang-rt-14-dev
mkdir -p "$build/corpus"
build=$(cd "$build" && pwd)

perl=$(command -v perl)
bash tools/emulation.sh check "$perl"
# The module's own compile flags, from the build rules, as every build takes
# them (the fuzz target names its module itself).
mapfile -t module_flags < <("$perl" inc/PlotruneBuild/Command.pm module-flags clang++-14 | grep -v '^-DPLOTRUNE_MODULE=')
engine_file=$("$perl" inc/PlotruneBuild/Command.pm describe | tools/table-column.sh - engine_file)
[[ ${#module_flags[@]} -gt 0 ]] || { echo "fuzz: the build rules gave no flags for $perl" >&2; exit 1; }
# The shared libperl itself, by file name: linking it needs no development
# symlink.
libperl=$("$perl" -MConfig -e 'print $Config{libperl}')
libdir=$("$perl" -MConfig -e 'for (split " ", "$Config{archlibexp}/CORE $Config{libpth}") { if (-e "$_/$Config{libperl}") { print; last } }')
[[ -n $libdir ]] || { echo "fuzz: cannot find $libperl" >&2; exit 1; }
perllibs=$("$perl" -MConfig -e 'print $Config{perllibs}')
mapfile -t sanitize < <("$perl" inc/PlotruneBuild/Command.pm sanitize-flags)
sanitize+=(-g -O1)

# The engine the booted module loads, beside the program.
clang-14 -std=c11 -shared -fPIC "${sanitize[@]}" -fvisibility=hidden -I contract \
  -o "$build/$engine_file" t/engines/standin_engine.c
# shellcheck disable=SC2086
clang++-14 "${module_flags[@]}" "${sanitize[@]}" -fsanitize=fuzzer \
  -o "$build/fuzz_readers" fuzz/fuzz_readers.cpp \
  -Wl,-E "-L$libdir" "-l:$libperl" -Wl,-rpath,"$libdir" $perllibs

cd "$build"
# The sanitizer build's run environment; a value already set is kept.
while IFS='=' read -r name value; do export "$name=${!name:-$value}"; done < <(bash "$root/tools/sanitizer-env.sh" ON)
"$build/fuzz_readers" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -print_final_stats=1 "$@" "$build/corpus" "$root/fuzz/corpus"

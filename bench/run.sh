#!/usr/bin/env bash
# Builds the module for the perl on PATH (or $PERL) in its own build folder
# and runs the benchmarks under that perl.  Not part of the test suite.
#   bench/run.sh [--checked] [bench.pl options]      e.g. --reps 15, --no-callgrind
# Build folder: $PLOTRUNE_BENCH_BUILD (default build-bench).  --checked also
# builds the checked build (in the build folder's name with -checked) and
# prints what its checks cost in instructions.
set -euo pipefail
cd "$(dirname "$0")/.."
perl=${PERL:-$(command -v perl)}
build=${PLOTRUNE_BENCH_BUILD:-build-bench}
mkdir -p "$build"
build=$(cd "$build" && pwd)
checked=''
if [[ ${1:-} == --checked ]]; then
  shift
  checked="$build-checked"
fi

bash tools/ensure-packages.sh cmake make g++ perl libffi-platypus-perl valgrind
# A perl of another processor needs its programs to run; emulated, its
# times are labelled so and valgrind's instruction counts cannot be had.
cpu=$(bash tools/emulation.sh cpu "$perl")
bash tools/emulation.sh check "$perl"
if [[ $(bash tools/emulation.sh mode "$cpu") == emulated ]]; then
  PLOTRUNE_BENCH_EMULATED=$(bash tools/emulation.sh status "$cpu")
  export PLOTRUNE_BENCH_EMULATED
fi

bash tools/build.sh "$build" "$perl"
if [[ -n $checked ]]; then
  bash tools/build.sh "$checked" -DPLOTRUNE_CHECKED=ON "$perl"
  export PLOTRUNE_BENCH_CHECKED_MODULES="$checked/modules.tsv"
fi

# The allocation counter bench.pl preloads into a child perl.
cc -O2 -shared -fPIC -fvisibility=hidden -o "$build/malloc_count.so" bench/malloc_count.c

# The build installed as a Perl program finds it, with the stand-in engine.
engine=$(tools/table-column.sh "$build/modules.tsv" engine_file)
rm -rf "$build/tree"
PLOTRUNE_ENGINE=$engine cmake --install "$build" --prefix "$build/tree" >/dev/null
export PLOTRUNE_BENCH_TREE="$build/tree"

export PLOTRUNE_MODULES="$build/modules.tsv"
export PLOTRUNE_MALLOC_COUNT="$build/malloc_count.so"
exec "$perl" -I t/lib bench/bench.pl "$@"

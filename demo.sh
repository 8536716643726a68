#!/usr/bin/env bash
# Builds the module for the perl on PATH, installs it into build/demo-tree
# with the stand-in engine beside it, and runs the demonstration from there,
# as a Perl program would use an installed build.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/ensure-packages.sh cmake make g++ perl binutils
bash tools/build.sh build "$(command -v perl)"
engine=$(tools/table-column.sh build/modules.tsv engine_file)
rm -rf build/demo-tree
PLOTRUNE_ENGINE=$engine cmake --install build --prefix build/demo-tree >/dev/null
perl -I build/demo-tree/lib/perl5 demo/demo.pl

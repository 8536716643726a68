#!/usr/bin/env bash
# Boots the module in several threads at once (PlotruneStress's
# concurrent_boots, as t/threads.t does) under valgrind's DRD on the host
# perl, each thread calling the engine while the others may still boot, and
# fails on any conflict DRD reports in the module or the engine.  Perl's own
# conflicts (its locale set-up when a thread starts) are counted, not failed.
#
# Usage: tools/drd.sh   (build folder: $PLOTRUNE_BUILD, default build-drd)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${PLOTRUNE_BUILD:-build-drd}
bash tools/ensure-packages.sh cmake make g++ perl valgrind

perl=$(command -v perl)
"$perl" -MConfig -e 'exit($Config{useithreads} ? 0 : 1)' || { echo "drd: $perl has no threads" >&2; exit 0; }
bash tools/build.sh "$build" "$perl"
build=$(cd "$build" && pwd)
manifest="$build/modules.tsv"
log="$build/drd.log"
module=$(bash tools/table-column.sh "$manifest" module | head -n 1)
file=$(bash tools/table-column.sh "$manifest" module_file | head -n 1)
env PLOTRUNE_UNDER_VALGRIND=1 PLOTRUNE_MODULES="$manifest" \
  valgrind --tool=drd --log-file="$log" \
  "$perl" -I"$root/t/lib" -MPlotruneTest -e 'require PlotruneStress; PlotruneStress::concurrent_boots(@ARGV)' \
  "$file" "$module" 4 200
# One report per conflict: its lines up to the next blank one.
ours=$(sed 's/^==[0-9]*== \{0,1\}//' "$log" |
  awk -v RS='' '/^Conflicting/ && /perlapi\.cpp|'"$module"'\.so|standin_engine|libplotrune/' | grep -c '^Conflicting' || true)
all=$(grep -c Conflicting "$log" || true)
echo "drd: $ours conflicts in the module or the engine, $((all - ours)) in perl itself (log: $log)"
[[ $ours -eq 0 ]]

#!/usr/bin/env bash
# The archive as the engine's maintainers ship it: built from the perls of
# the supported configurations only (the newest point release of each, of
# both tiers), with one engine per processor (here the stand-ins), unpacked in a
# folder of its own; then every perl given runs .ci/t/shipped.t against it with
# only -I<unpacked>/lib/perl5.  Prints prove's summary per perl and a
# closing count; exits non-zero if anything failed.
# Usage: .ci/shipped-archive.sh BUILD-FOLDER PERL ...
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1; shift
[[ $# -gt 0 ]] || { echo "usage: $0 BUILD-FOLDER PERL ..." >&2; exit 2; }

# One perl per supported configuration: the newest release that gives it
# (the first given, of two of one release).
declare -A chosen=() version=()
for perl in "$@"; do
  probe=$("$perl" inc/PlotruneBuild/Command.pm describe 2>/dev/null) || continue
  field() { bash tools/table-column.sh - "$1" <<< "$probe"; }
  [[ $(field supported) == 1 ]] || continue
  module=$(field arch)/$(field module) v=$(field version)
  if [[ -z ${chosen[$module]:-} ]] ||
     [[ ${version[$module]} != "$v" && $(printf '%s\n%s\n' "${version[$module]}" "$v" | sort -V | tail -n 1) == "$v" ]]; then
    chosen[$module]=$perl version[$module]=$v
  fi
done
if [[ ${#chosen[@]} -eq 0 ]]; then
  echo "shipped: no perl of a supported configuration given: no archive to try"
  exit 0
fi
echo "shipped: building the archive from ${#chosen[@]} supported perls in $build"
bash tools/build.sh "$build" "${chosen[@]}" || exit 1
# One stand-in engine per processor, from the module table's arch and
# engine_file columns, in the PLOTRUNE_ENGINE form (separated by ':').
engine=$(paste <(bash tools/table-column.sh "$build/modules.tsv" arch) \
               <(bash tools/table-column.sh "$build/modules.tsv" engine_file) |
         sort -u -k1,1 | cut -f2 | paste -sd:)
cpus=$(bash tools/table-column.sh "$build/modules.tsv" arch | sort -u | wc -l)
rm -f "$build"/perlplotrune-*.tar.xz
(cd "$build" && PLOTRUNE_ENGINE=$engine cpack -G TXZ >/dev/null) || exit 1
archive=$(ls "$build"/perlplotrune-*.tar.xz)
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/plotrune-shipped.XXXXXX")
tar -xJf "$archive" -C "$unpacked"
top=$(ls -d "$unpacked"/*)
echo "shipped: $(basename "$archive") unpacked in $top"

failed=0 passed=0
name=$(basename "${engine%%:*}")
engines=$(find "$top" -name "$name" | wc -l)
if [[ $engines -ne $cpus ]]; then
  echo "shipped: the archive holds $engines engine files, not one for each of its $cpus processors"; failed=$((failed + 1))
else
  echo "shipped: one engine file per processor: $(find "$top" -name "$name" | sed "s|$top/||" | sort | paste -sd' ')"
  passed=$((passed + 1))
fi
# Two perls at a time (most of the time is spent starting emulated ones),
# each one's verdict and output in a file of its own, read in order.
results=$(mktemp -d "${TMPDIR:-/tmp}/plotrune-shipped-results.XXXXXX")
n=0
for perl in "$@"; do
  n=$((n + 1))
  printf '%s\0%s\0' "$n" "$perl"
done | PLOTRUNE_SHIPPED=$top/lib/perl5 xargs -0 -n 2 -P 2 sh -c \
  '"$2" -MApp::Prove -e "my \$p = App::Prove->new; \$p->process_args(@ARGV); exit(\$p->run ? 0 : 1)" -- .ci/t/shipped.t \
     > "$0/$1.out" 2>&1; echo $? > "$0/$1.status"' "$results"
n=0
for perl in "$@"; do
  n=$((n + 1))
  if [[ $(cat "$results/$n.status" 2>/dev/null) == 0 ]]; then
    passed=$((passed + 1)); echo "shipped: $perl: passed"
  else
    failed=$((failed + 1)); echo "shipped: $perl: FAILED"; tail -n 20 "$results/$n.out" 2>/dev/null
  fi
done
rm -rf "$results"
rm -rf "$unpacked"
echo "shipped: $passed passed, $failed failed"
[[ $failed -eq 0 ]]

#!/usr/bin/env bash
# README's test command with every perl given: each builds its module and
# runs the tests of the call path and the conversions (./test.sh
# --call-path); the whole suite runs on the first perl given (the host's)
# and, in each tier, on the oldest series of the plain perls given and the
# newest of the threaded ones (on 32-bit x86, the plain with a 32-bit IV and
# the threaded with a 64-bit one): both ends of the series, both shapes,
# within CI's time where i386 and aarch64 run emulated.  Two perls that give one module name on one
# processor (5.18.0 and 5.18.4) cannot share a build folder: every further
# one goes to a folder of its own.  Writes the folders it used, one a line,
# to build-ci-logs/rounds, and those that failed to
# build-ci-logs/failed-rounds; the perls of the whole suite to
# build-ci-logs/whole-suite; exits non-zero if any failed.
# Usage: .ci/suites.sh PERL ...
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build-ci-logs
: > build-ci-logs/rounds
: > build-ci-logs/failed-rounds

status=0
declare -A row=() oldest=() newest=()
probed=()
for perl in "$@"; do
  if ! row[$perl]=$("$perl" inc/PlotruneBuild/Command.pm describe); then
    bash tools/emulation.sh check "$perl" || true
    echo "ci: cannot probe $perl" >&2
    echo "the probe of $perl" >> build-ci-logs/failed-rounds
    status=1
    continue
  fi
  probed+=("$perl")
done
field() { bash tools/table-column.sh - "$2" <<< "${row[$1]}"; }

# The oldest plain and the newest threaded perl of each tier.
for perl in "${probed[@]+"${probed[@]}"}"; do
  [[ $(field "$perl" supported) == 1 ]] || continue
  module=$(field "$perl" module)
  [[ $module == *mt ]] && threads=mt || threads=plain
  # 32-bit x86: the threaded with a 64-bit IV, the plain with a 32-bit one.
  if [[ $(field "$perl" arch) == i386 && ( ($threads == mt && $module != *i64mt) || ($threads == plain && $module == *i64) ) ]]; then
    continue
  fi
  k=$(field "$perl" arch)
  minor=$(field "$perl" version | cut -d. -f2)
  if [[ $threads == plain ]]; then
    [[ -n ${oldest[$k]:-} && $(field "${oldest[$k]}" version | cut -d. -f2) -le $minor ]] || oldest[$k]=$perl
  else
    [[ -n ${newest[$k]:-} && $(field "${newest[$k]}" version | cut -d. -f2) -ge $minor ]] || newest[$k]=$perl
  fi
done
declare -A whole=()
[[ ${#probed[@]} -eq 0 ]] || whole[${probed[0]}]=1
for perl in "${oldest[@]+"${oldest[@]}"}" "${newest[@]+"${newest[@]}"}"; do whole[$perl]=1; done

# The build folders: one whole-suite and one call-path round, each split
# further where a module name repeats.
declare -A seen=()
rounds=()   # "kind;perl;perl;..." per build folder
for perl in "${probed[@]+"${probed[@]}"}"; do
  kind=call-path
  [[ -z ${whole[$perl]:-} ]] || kind=whole
  k=$kind/$(field "$perl" arch)/$(field "$perl" module)
  n=$(( ${seen[$k]:-0} + 1 ))
  seen[$k]=$n
  i=$(( 2 * (n - 1) ))
  [[ $kind == whole ]] || i=$((i + 1))
  [[ -n ${rounds[i]:-} ]] || rounds[i]="$kind;"
  rounds[i]+="${perl};"
done
printf '%s\n' "${!whole[@]}" > build-ci-logs/whole-suite

for i in "${!rounds[@]}"; do
  IFS=';' read -r -a round <<< "${rounds[i]%;}"
  kind=${round[0]} round=("${round[@]:1}")
  folder=build-ci-$kind
  (( i < 2 )) || folder+=-$((i / 2 + 1))
  echo "ci: testing ${#round[@]} perls in $folder ($( [[ $kind == whole ]] && echo 'the whole suite' || echo 'the call path and the conversions'))"
  echo "$folder" >> build-ci-logs/rounds
  option=()
  [[ $kind == whole ]] || option=(--call-path)
  PLOTRUNE_BUILD=$folder ./test.sh "${option[@]+"${option[@]}"}" "${round[@]}" ||
    { status=1; echo "$folder" >> build-ci-logs/failed-rounds; }
done
exit $status

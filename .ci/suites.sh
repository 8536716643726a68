#!/usr/bin/env bash
# README's test command with every perl given.  Two perls that give one
# module name on one architecture (5.18.0 and 5.18.4) cannot share a build
# folder: every further one goes to a folder of its own, build-ci-2 on.
# Writes the folders it used, one a line, to build-ci-logs/rounds, and those
# that failed to build-ci-logs/failed-rounds; exits non-zero if any failed.
# Usage: .ci/suites.sh PERL ...
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build-ci-logs
: > build-ci-logs/rounds
: > build-ci-logs/failed-rounds

status=0
declare -A seen=()
rounds=()   # "perl;perl;..." per build folder
for perl in "$@"; do
  if ! row=$("$perl" inc/PlotruneBuild/Command.pm describe); then
    bash tools/emulation.sh check "$perl" || true
    echo "ci: cannot probe $perl" >&2
    echo "the probe of $perl" >> build-ci-logs/failed-rounds
    status=1
    continue
  fi
  key=$(bash tools/table-column.sh - arch <<< "$row")/$(bash tools/table-column.sh - module <<< "$row")
  n=$(( ${seen[$key]:-0} + 1 ))
  seen[$key]=$n
  rounds[n - 1]+="${perl};"
done

for i in "${!rounds[@]}"; do
  folder=build-ci
  (( i == 0 )) || folder=build-ci-$((i + 1))
  IFS=';' read -r -a round <<< "${rounds[i]%;}"
  echo "ci: testing ${#round[@]} perls in $folder"
  echo "$folder" >> build-ci-logs/rounds
  PLOTRUNE_BUILD=$folder ./test.sh "${round[@]}" || { status=1; echo "$folder" >> build-ci-logs/failed-rounds; }
done
exit $status

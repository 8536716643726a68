#!/usr/bin/env bash
# The checked build for engine authors, in a folder of its own: the whole
# suite, the breaches of the misbehaving engine included, under every perl
# given.  Its log goes to build-ci-logs/checked.log; prints ctest's verdict,
# or the log's end when it failed.
# Usage: .ci/checked.sh PERL ...
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
mkdir -p build-ci-logs
log=build-ci-logs/checked.log
echo "ci: the checked build for $# perls in build-ci-checked"
if bash tools/build.sh --test build-ci-checked -DPLOTRUNE_CHECKED=ON "$@" > "$log" 2>&1; then
  echo "ci: checked build: $(grep -E '^[0-9]+% tests passed' "$log")"
else
  echo "ci: checked build failed:"
  tail -n 60 "$log"
  exit 1
fi

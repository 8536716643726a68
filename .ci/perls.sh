#!/usr/bin/env bash
# The perls CI tests against, one a line on stdout: the host perl (x86_64,
# threads, 64-bit IV); Debian's i386 Perl (threads, 64-bit IV, 32-bit
# pointers); a 32-bit Perl without threads and with a 32-bit IV: both axes
# of the configurations on one modern version.  Then the archived perls of
# the supported configurations, when there are any (also kept in
# build-ci-logs/archived-perls), and those of $PLOTRUNE_CACHE/perls.list.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

command -v perl
bash .ci/perls/i386-embedded-perl.sh | tail -n 1
bash .ci/perls/debian-source-perl.sh | tail -n 1
bash .ci/perls/archived-perls.sh > build-ci-logs/archived-perls
cat build-ci-logs/archived-perls

# Further perls, when this machine has been given a list of them.
list="$PLOTRUNE_CACHE/perls.list"
if [[ -f $list ]]; then
  while read -r perl; do
    [[ -z $perl || $perl == \#* ]] && continue
    if [[ -x $perl ]]; then echo "$perl"; else echo "skipping $perl from $list: not there" >&2; fi
  done < "$list"
fi

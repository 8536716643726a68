#!/usr/bin/env bash
# The perls CI tests against, one a line on stdout: the host perl (x86_64,
# threads, 64-bit IV); Debian's i386 Perl (threads, 64-bit IV, 32-bit
# pointers); a 32-bit Perl without threads and with a 32-bit IV: both axes
# of the configurations on one modern version; Debian's arm64 perl, of tier
# 3.  Then the archived perls of the supported configurations, when there
# are any (also kept in build-ci-logs/archived-perls), the perls built with
# defines that do or do not change the binary interface
# (tools/variant-perls.sh) when this machine has them, and those of
# $PLOTRUNE_CACHE/perls.list.  The two 32-bit ones are beyond the
# supported set: one whose packages cannot be had is named, with why, and
# the run goes on without it; one that fails to build is a failed check, as
# is Debian's arm64 perl when its packages cannot be had.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

command -v perl
for provider in "i386-embedded-perl:Debian's i386 perl 5.36 (threads, 64-bit IV)" \
                "debian-source-perl:perl 5.36 built from Debian's source (i386, no threads, 32-bit IV)" \
                "debian-arm64-perl:Debian's arm64 perl 5.36 (threads, 64-bit IV)"; do
  script=${provider%%:*} what=${provider#*:}
  if ! got=$(bash ".ci/perls/$script.sh" | tail -n 1); then
    echo "ci: $what could not be built (.ci/perls/$script.sh)" >&2
    check "$script" false
  elif [[ $got == skip:* ]]; then
    echo "ci: skipping $what: ${got#skip: }" >&2
    note "skipped $what: ${got#skip: }"
  else
    echo "$got"
  fi
done
bash .ci/perls/archived-perls.sh > build-ci-logs/archived-perls
cat build-ci-logs/archived-perls

# Built from Perl's releases over several minutes each.  CI builds the one
# of the release Debian ships (from Perl's repository, or Debian's source
# package), once; the others when this machine has Perl's repository
# (tools/variant-perls.sh build).  A release that cannot be had is named.
status=0
why=$(bash tools/variant-perls.sh build 536mt-leaking 2>&1 >/dev/null) || status=$?
if [[ $status -eq 3 ]]; then
  echo "ci: skipping a perl built with defines: ${why##*$'\n'}" >&2
  note "skipped a perl built with defines: ${why##*$'\n'}"
elif [[ $status -ne 0 ]]; then
  echo "$why" >&2
  check variant-perl false
fi
while read -r why; do
  echo "ci: skipping a perl built with defines: $why" >&2
  note "skipped a perl built with defines: $why"
done 3>&1 < <(bash tools/variant-perls.sh list 2>&1 >&3)

# Further perls, when this machine has been given a list of them.
list="$PLOTRUNE_CACHE/perls.list"
if [[ -f $list ]]; then
  while read -r perl; do
    [[ -z $perl || $perl == \#* ]] && continue
    if [[ -x $perl ]]; then echo "$perl"; else echo "skipping $perl from $list: not there" >&2; fi
  done < "$list"
fi

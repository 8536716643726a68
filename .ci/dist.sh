#!/usr/bin/env bash
# The CPAN distribution, from a copy of the tracked files, built first so
# that everything a build writes lies beside the sources:
#   perl Makefile.PL && make && make dist && make disttest
# The tarball must hold exactly the files MANIFEST lists (and the META files
# make dist adds), none that a build writes, and no path of this machine;
# make disttest builds and tests it unpacked.  A tarball that passed is
# kept in build-ci-dist/ of the clone, for .ci/debian-roots.sh.
# Usage: .ci/dist.sh [PERL]   (default: the perl on PATH)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
perl=${1:-$(command -v perl)}
work=$(mktemp -d "${TMPDIR:-/tmp}/plotrune-dist.XXXXXX")
src="$work/src" log="$work/dist.log"
mkdir -p "$src"
(cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$src"

step=''
run() { step=$1; shift; echo "== $step" >>"$log"; (cd "$src" && "$@") >>"$log" 2>&1; }
fail() { echo "$*" >>"$log"; false; }

# The tarball against MANIFEST: its files, nothing generated, no local path.
check_tarball() {
  step='the tarball'
  local version tarball listed packed found
  version=$("$perl" -MExtUtils::MakeMaker -le 'print MM->parse_version(shift)' "$src/lib/PlotRune.pm")
  tarball="$src/PlotRune-$version.tar.gz"
  [[ -f $tarball ]] || { fail "no $tarball"; return; }
  # make dist adds META.yml, and META.json from MakeMaker 6.57 on.
  listed=$(sed -e 's/[[:space:]].*//' -e '/^#/d' -e '/^$/d' "$src/MANIFEST"; echo META.yml)
  packed=$(tar -tzf "$tarball" | sed -n "s|^PlotRune-$version/||p" | grep -v -e '/$' -e '^$' -e '^META\.json$')
  if [[ $(LC_ALL=C sort <<< "$listed") != $(LC_ALL=C sort <<< "$packed") ]]; then
    fail "the tarball's files differ from MANIFEST's:"
    diff <(LC_ALL=C sort <<< "$listed") <(LC_ALL=C sort <<< "$packed") >>"$log"
    return 1
  fi
  found=$(grep -E '\.(o|so|map)$|^(plotrune-mm|blib|build[^/]*)/|^(Makefile|MYMETA\..*|pm_to_blib)$' <<< "$packed")
  [[ -z $found ]] || { fail "the tarball holds generated files: $found"; return; }
  mkdir -p "$work/unpacked"
  tar -xzf "$tarball" -C "$work/unpacked"
  found=$(grep -rlF -e "$src" -e "$root" -e "$work" "$work/unpacked" || true)
  [[ -z $found ]] || { fail "the tarball holds paths of this machine: $found"; return; }
  echo "PlotRune-$version.tar.gz: $(wc -l <<< "$packed") files" >>"$log"
  result="PlotRune-$version.tar.gz"
}

result=''
if run 'perl Makefile.PL' "$perl" Makefile.PL && run make make && run 'make dist' make dist &&
   check_tarball && run 'make disttest' make disttest; then
  echo "dist: passed ($result, make disttest)"
  rm -rf "$root/build-ci-dist" && mkdir -p "$root/build-ci-dist" && cp "$src/$result" "$root/build-ci-dist/"
  rm -rf "$work"
else
  echo "dist: failed at $step (log: $log)"
  tail -n 30 "$log" >&2
  exit 1
fi

#!/usr/bin/env bash
# The maintainers' tool that makes perls (tools/make-perl), on one perl of
# each processor: x86_64 and aarch64 Perl 5.36.0 with threads from Debian's
# upstream tarball of the host's perl, i386 Perl 5.12.5 with threads from
# the tree of its release tag ($PLOTRUNE_PERL_ARCHIVES/src); the aarch64 one
# cross-built with perl-cross ($PLOTRUNE_PERL_CROSS, default
# ../shared/tools/perl-cross-1.6.5.tar.gz beside the clone).  Each is kept
# in $PLOTRUNE_CACHE/made-perls by source hash and configuration, so later
# runs take it from there.  Where i386 code runs only emulated and no i386
# perl is kept, that one is skipped: building it runs the i386 miniperl
# under qemu for half an hour.  The module is then built and its call-path
# and conversion tests run with each made perl and with the archived perl
# of the same configuration: the same module name, the same layout line in
# the build's .pm, the same results.
# Prints one line per perl: built, from the cache or skipped, and why; then
# how its tests went.  Fails when a perl fails to build or differs.
# Usage: .ci/built-perls.sh [FOLDER]   (build folders FOLDER-*, default build-ci-made)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${PLOTRUNE_CACHE:-/var/cache/perlplotrune}
folder=$(realpath -m "${1:-build-ci-made}")
archives=${PLOTRUNE_PERL_ARCHIVES:-$root/../shared/perls}
export PLOTRUNE_PERL_CROSS=${PLOTRUNE_PERL_CROSS:-$root/../shared/tools/perl-cross-1.6.5.tar.gz}
tests='/(loading|dispatch|scalar_readers|array_readers|makers|fast_paths)\.t$'
mkdir -p build-ci-logs "$cache/made-perls"
status=0
fail() { echo "ci: made perl $*"; status=1; }

# The archived perls (unpacked once into the cache), to compare with.
mapfile -t archived < <(bash .ci/perls/archived-perls.sh 2>/dev/null)
archived_of() { local p; for p in "${archived[@]}"; do [[ $p != */$1/bin/perl ]] || { echo "$p"; return; }; done; }

# Debian's upstream tarball, downloaded once.
debian_tarball() {
  local kept
  kept=$(ls "$cache"/made-perls/sources/perl_*.orig.tar.xz 2>/dev/null | head -n 1) || true
  [[ -n $kept ]] || kept=$(bash tools/debian-perl-source.sh --tarball "$cache/made-perls/sources" 2>>build-ci-logs/made-perls.log) || return
  echo "$kept"
}

# The build folder's module, its layout line and its tests' results.
summary() {
  local build=$1 pm
  pm=$(ls "$build"/modules/*/*/*.pm | head -n 1)
  echo "module $(basename "$pm" .pm)"
  grep -E '^our \$(INTERFACE|LAYOUT) ' "$pm"
  sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: [^/]+\/([^ ]+) \.+ *\**([A-Za-z]+).*/\1 \2/p' "$build.ctest" | sort
}

# What the tool refuses, before it unpacks or installs anything: a
# configuration beyond the supported set, a source of another series, a
# cross build without perl-cross.
old=$archives/src/perl-5.12.5.tar.xz
while read -r target source env want; do
  [[ -f $source ]] || continue
  got=$(env "$env" bash tools/make-perl "$target" "$source" "$cache/made-perls/refused" 2>&1 >/dev/null) && got=made
  if [[ $got != *"$want"* ]]; then
    fail "refusal: tools/make-perl $target $(basename "$source") said \"$got\", not \"$want\""
  fi
done <<EOF
x86_64/perlplotrune544i64mt $old X=1 is not a supported configuration
i386/perlplotrune536 $old X=1 is not a supported configuration
x86_64/perlplotrune536mt $old X=1 is not a supported configuration
i386/perlplotrune514mt $old X=1 is Perl 5.12.5, and i386/perlplotrune514mt is a perl of 5.14
aarch64/perlplotrune536i64mt $old PLOTRUNE_PERL_CROSS= set PLOTRUNE_PERL_CROSS
EOF

# The build folder's modules installed as a tree, run by another perl with
# only -I to the tree: the build it loads, and a call through it.
served() {
  local build=$1 perl=$2
  rm -rf "$build.tree"
  PLOTRUNE_ENGINE=$(ls "$build"/modules/*/*/libplotrune.so) cmake --install "$build" --prefix "$build.tree" > /dev/null
  "$perl" -I"$build.tree/lib/perl5" -e 'use PlotRune qw(callMethod id); print id(), " gave ", callMethod("num", 2.5), "\n"'
}

for item in "x86_64/perlplotrune536i64mt debian perl-modern-x86_64/536mt" \
            "aarch64/perlplotrune536i64mt debian perl-modern-aarch64/536mt" \
            "i386/perlplotrune512mt $archives/src/perl-5.12.5.tar.xz perl-5.12.5-i686/512mt"; do
  read -r target source shape <<< "$item"
  cpu=${target%%/*}
  if [[ $source == debian ]]; then
    source=$(debian_tarball) || { echo "ci: made perl $target: skipped, Debian's perl source cannot be had ($(tail -n 1 build-ci-logs/made-perls.log))"; continue; }
  fi
  [[ -f $source ]] || { echo "ci: made perl $target: skipped, no source $source"; continue; }
  prefix=$cache/made-perls/$target
  if bash tools/make-perl --check "$target" "$source" "$prefix"; then
    echo "ci: made perl $target: from the cache ($prefix)"
  elif [[ $cpu == i386 && $(bash tools/emulation.sh mode i386) == emulated ]]; then
    echo "ci: made perl $target: skipped, none in the cache; i386 code runs emulated here, and building it runs the i386 miniperl under qemu (about 30 minutes): tools/make-perl $target $source $prefix"
    continue
  else
    line=$(bash tools/make-perl "$target" "$source" "$prefix" 2>>build-ci-logs/made-perls.log) ||
      { tail -n 40 build-ci-logs/made-perls.log; fail "$target: the build failed (build-ci-logs/made-perls.log)"; continue; }
    echo "ci: made perl $target: built: $line"
  fi
  other=$(archived_of "$shape")
  [[ -n $other ]] || { fail "$target: no archived perl $shape to compare with"; continue; }
  for pair in "made $prefix/bin/perl" "archived $other"; do
    read -r kind perl <<< "$pair"
    build=$folder-$cpu-$kind
    tools/build.sh --test "$build" "$perl" -- -R "$tests" > "$build.ctest" 2>&1 || true
    summary "$build" > "$build.summary" 2>&1 || true
  done
  made=$folder-$cpu-made.summary
  passed=$(grep -c ' Passed$' "$made" || true)
  if ! grep -q '\.t ' "$made"; then
    fail "$target: no test ran ($folder-$cpu-made.ctest)"
  elif ! diff -u "$folder-$cpu-archived.summary" "$made"; then
    fail "$target: differs from the archived $shape (above: archived -, made +)"
  elif grep -qv -e ' Passed$' -e '^module ' -e '^our ' "$made"; then
    fail "$target: tests failed, as they do with the archived $shape ($folder-$cpu-made.ctest)"
  elif ! served=$(served "$folder-$cpu-made" "$other" 2>&1); then
    fail "$target: its build, installed, does not serve the archived $shape with only -I: $served"
  else
    echo "ci: made perl $target: $passed call-path and conversion tests passed; module name, interface, layout and results the same as with the archived $shape, which loads its build with only -I ($served)"
  fi
done
exit $status

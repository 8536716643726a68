#!/usr/bin/env bash
# Perls of Perl's own releases configured with defines that do or do not
# change the binary interface, for the tests of which perls a build fits
# (.ci/t/shipped.t, through CI's list of perls).  Each is built once into
# $PLOTRUNE_CACHE/built-perls/NAME (relocatable, the extensions the tests
# need) and reused while its flags stay the same.  The releases come from
# $PLOTRUNE_PERL_REPO, a git repository of Perl's sources with its tags, or
# for the release the host's Debian ships, from Debian's source package.
# A build exits 3 when its release cannot be had, 1 when it fails.
# Usage: tools/variant-perls.sh build [NAME ...]   builds them (all by default)
#        tools/variant-perls.sh list               the perls built, one a line
#                                                  (on stderr, those that are not)
set -euo pipefail
# NAME TAG CONFIGURE-FLAGS: refused where a perl without the define is
# served (a wider mark stack offset, a longer scalar head, a field fewer
# ahead of PL_sv_yes), then served with only harmless defines.
variants=(
  "540mt-ssize v5.40.0 -Dusethreads -Accflags=-DPERL_STACK_OFFSET_SSIZET"
  "536mt-leaking v5.36.0 -Dusethreads -Accflags=-DDEBUG_LEAKING_SCALARS"
  "532mt-perturb v5.32.1 -Dusethreads -Accflags=-DPERL_PERTURB_KEYS_RANDOM"
  "540-harmless v5.40.0 -Uuselargefiles -Accflags=-DPERL_UTF8_CACHE_ASSERT"
  "540mt-harmless v5.40.0 -Dusethreads -Uuselargefiles -Accflags=-DPERL_UTF8_CACHE_ASSERT"
)
repo=${PLOTRUNE_PERL_REPO:-/work/.mirror/Perl+perl5/repo}
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
built=${PLOTRUNE_CACHE:-/var/cache/perlplotrune}/built-perls
# Builds one: NAME TAG CONFIGURE-FLAG ...
build_one() {
  local name=$1 tag=$2; shift 2
  local prefix=$built/$name wanted="$tag $*"
  [[ $(cat "$prefix/.configured" 2>/dev/null) == "$wanted" && -x $prefix/bin/perl ]] && return 0
  local work; work=$(mktemp -d "${TMPDIR:-/tmp}/variant-perl.XXXXXX")
  trap 'rm -rf "$work"' RETURN
  local log=$prefix.log tables version
  mkdir -p "$(dirname "$prefix")"
  : > "$log"
  step() { nice "$@" >>"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "$0: failed: $*" >&2; exit 1; }; }
  # Without the repository, the release Debian ships comes from its source
  # package, the same upstream tree.
  local src=$work
  if ! git -C "$repo" rev-parse -q --verify "$tag^{commit}" >/dev/null 2>&1; then
    version=$(bash "$tools/debian-perl-source.sh" "$work/tree" 2>>"$log") || exit $?
    [[ v$version == "$tag" ]] ||
      { echo "no $tag in $repo (PLOTRUNE_PERL_REPO), and Debian's perl source is $version" >&2; exit 3; }
    src=$work/tree
  else
    # The Unicode table charclass_invlists.h may be absent from the
    # repository (a mirror that left out its largest files): it is made
    # again from the release's own data and scripts, and must come out as
    # the tag has it.
    export GIT_INDEX_FILE=$work/.index
    git --git-dir="$repo" --work-tree="$src" read-tree "$tag"
    tables=$(git --git-dir="$repo" rev-parse "$tag:charclass_invlists.h" 2>/dev/null || true)
    if [[ -n $tables ]] && ! git --git-dir="$repo" cat-file -e "$tables" 2>/dev/null; then
      git --git-dir="$repo" --work-tree="$src" update-index --force-remove charclass_invlists.h
    fi
    git --git-dir="$repo" --work-tree="$src" checkout-index -a
    unset GIT_INDEX_FILE
    cd "$src"
    if [[ -n $tables && ! -f charclass_invlists.h ]]; then
      mkdir -p .ucd/Unicode && ln -s "$src/lib/Unicode/UCD.pm" .ucd/Unicode/UCD.pm && ln -s "$src/lib/unicore" .ucd/unicore
      step perl lib/unicore/mktables -C lib/unicore -P pod -maketest -makenormtest -makelist -p
      step perl -I.ucd regen/mk_invlists.pl
      [[ $(git hash-object charclass_invlists.h) == "$tables" ]] ||
        { echo "$0: charclass_invlists.h made again differs from $tag's" >&2; exit 1; }
    fi
  fi
  cd "$src"
  # What the tests load: the harness, threads, and what Test::More, File::Temp
  # and MakeMaker pull in; Configure adds every pure-Perl library.
  xs="B Cwd Data/Dumper Devel/Peek Digest/MD5 Errno Fcntl File/Glob Hash/Util IO List/Util MIME/Base64 POSIX"
  xs+=" PerlIO/scalar Socket Storable Sys/Hostname Time/HiRes attributes mro re threads threads/shared Opcode"
  rm -rf "$prefix"
  step ./Configure -des -Dprefix="$prefix" -Duserelocatableinc -Dman1dir=none -Dman3dir=none \
    -Donlyextensions="$xs" -Ud_crypt_r -Ud_crypt "$@"
  step make -j2
  step make install
  echo "$wanted" > "$prefix/.configured"
  echo "built $prefix/bin/perl" >&2
}

command=${1:-}; shift || true
case $command in
  list)
    for variant in "${variants[@]}"; do
      read -r name tag flags <<< "$variant"
      if [[ $(cat "$built/$name/.configured" 2>/dev/null) == "$tag $flags" && -x $built/$name/bin/perl ]]; then
        echo "$built/$name/bin/perl"
      else
        echo "$name ($tag $flags) is not built here: tools/variant-perls.sh build $name" >&2
      fi
    done
    exit 0 ;;
  build) ;;
  *) echo "usage: $0 build [NAME ...] | list" >&2; exit 2 ;;
esac
for variant in "${variants[@]}"; do
  read -r name tag flags <<< "$variant"
  [[ $# -eq 0 || " $* " == *" $name "* ]] || continue
  # shellcheck disable=SC2086  # the flags are words
  ( build_one "$name" "$tag" $flags )
done
exit 0

#!/usr/bin/env bash
# The shipped archive under Debian's own perls of two other releases, each
# in a root of its own release (its C library, loader and perl packages,
# made by debootstrap once and kept in $PLOTRUNE_CACHE/debian-roots, never
# installed over the host's), run as root with chroot.  In each root the
# archive, unpacked there, serves /usr/bin/perl with only -I: it must load
# the build of that perl's interface, pass .ci/t/shipped.t, and pass the
# suite's tests of calls, conversions and errors against the shipped module
# and engine.  In the Debian 13 root the CPAN path of the dist tarball
# (perl Makefile.PL && make && make test) must pass with its own g++.
# One line per release says what passed.  Exits 1 on any failure; else 3
# when a release (or debootstrap) could not be fetched, each named on a
# line starting "skip:"; else 0.
# Usage: .ci/debian-roots.sh ARCHIVE DIST-TARBALL
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
repo=$(pwd)
[[ $# -eq 2 && -f $1 && -f $2 ]] || { echo "usage: $0 ARCHIVE DIST-TARBALL (both files)" >&2; exit 2; }
archive=$(realpath "$1") dist=$(realpath "$2")
cache=${PLOTRUNE_CACHE:-/var/cache/perlplotrune}/debian-roots
mkdir -p "$cache"

# release, Debian version, its perl, the build that perl must load, the
# packages beyond the base (a compiler for the layout probe of shipped.t),
# and whether the CPAN path runs there.
releases=(
  'bullseye 11 5.32.1 perlplotrune532i64mt perl,g++ -'
  'trixie 13 5.40.1 perlplotrune540i64mt perl,gcc,g++,make cpan'
)
# The suite's tests that need no more than a module file and its engine,
# named by a module table: calls, conversions both ways, Perl's errors and
# the engine's, bad input, threads.
call_tests=(dispatch scalar_readers array_readers makers magic fast_paths differential
            perl_errors engine_faults bad_input threads)

failed=0 skipped=0 ok=1
fail() { echo "debian-roots: $*"; ok=0; }
skip() { echo "skip: $*"; skipped=$((skipped + 1)); }

if ! why=$(bash tools/ensure-packages.sh debootstrap 2>&1); then
  skip "debootstrap cannot be installed, no Debian root made: $(tail -n 1 <<< "$why")"
  exit 3
fi

# The mirror the host's own apt sources name for its release.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$(awk -v suite="$codename" '
  /^$/ { if (uri && hit) { print uri; exit } uri = ""; hit = 0; next }
  /^URIs:/ { uri = $2 }
  /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) hit = 1 }
  END { if (uri && hit) print uri }' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
[[ -n $mirror ]] ||
  mirror=$(awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
if [[ -z $mirror ]]; then
  skip "no Debian mirror for $codename in the host's apt sources: no Debian root made"
  exit 3
fi

# A root is sound when it is whole (debootstrap finished: the stamp holds
# its package list), every package asked for is installed there, and its
# perl runs.
sound() {
  local root=$1 packages=$2 package
  [[ -f $root/.plotrune-root && $(cat "$root/.plotrune-root") == "$packages" ]] || return 1
  for package in ${packages//,/ }; do
    chroot "$root" dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' || return 1
  done
  chroot "$root" /usr/bin/perl -e 1 2>/dev/null
}

# Nothing may be mounted in a root that is removed: rm would go through it.
remove_root() {
  if grep -q " $1/" /proc/mounts; then
    echo "debian-roots: $1 has mounts inside: left as it is" >&2; return 1
  fi
  rm -rf --one-file-system "$1"
}

# Makes the root of a release unless a sound one is cached.  Sets made
# (seconds taken, or '' when cached); fails with why, "fetch: " first when
# a package or the release could not be had.
make_root() {
  local release=$1 root=$2 packages=$3 log="$cache/$1.debootstrap.log" start=$SECONDS
  made=''
  sound "$root" "$packages" && return 0
  if [[ -e $root ]]; then
    echo "debian-roots: the cached $release root is incomplete or broken: made again"
    remove_root "$root" || { why="cannot remove $root"; return 1; }
  fi
  remove_root "$root.new" || { why="cannot remove $root.new"; return 1; }
  if ! debootstrap --variant=minbase --arch=amd64 --components=main --include="$packages" \
         "$release" "$root.new" "$mirror" > "$log" 2>&1; then
    why=$(grep -m1 -E "^E: " "$log" || tail -n 1 "$log")
    grep -qE "Couldn't (download|find)|Failed getting release|Unable to fetch|Invalid Release" "$log" && why="fetch: $why"
    why="$why (log: $log)"
    remove_root "$root.new"
    return 1
  fi
  # The packages fetched are not needed once installed.
  rm -f "$root.new"/var/cache/apt/archives/*.deb
  echo "$packages" > "$root.new/.plotrune-root"
  sound "$root.new" "$packages" || { why="debootstrap left an unsound root (log: $log)"; return 1; }
  mv "$root.new" "$root"
  made=$((SECONDS - start))
}

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
  done
  mounted=()
}
running=''
cleanup() {
  if [[ -n $running ]]; then kill -TERM -- "-$running" 2>/dev/null; sleep 1; fi
  unmount_all
  [[ -z ${work:-} ]] || rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
mount_in() {
  local root=$1
  mount -t proc proc "$root/proc" && mounted+=("$root/proc") &&
  mount --bind /dev "$root/dev" && mounted+=("$root/dev")
}

# A command in the root as root, in a clean environment: only what it
# names reaches the release's perl.  In a session of its own and waited
# for, so that a signal to this script ends it at once and the mounts go.
in_root() {
  local root=$1 status; shift
  setsid chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp LC_ALL=C "$@" &
  running=$!
  wait "$running"; status=$?
  running=''
  return "$status"
}

# Runs a named step in the root, its output to the log; on failure names it
# with the log's end.
step() {
  local name=$1 root=$2; shift 2
  echo "== $name" >> "$log"
  in_root "$root" "$@" >> "$log" 2>&1 && return 0
  fail "$label: $name failed (log: $log)"; tail -n 25 "$log" | sed 's/^/  /'
  return 1
}

logs=$(mktemp -d "${TMPDIR:-/tmp}/plotrune-debian-roots.XXXXXX")
# The roots are made side by side: fetching and unpacking wait on the
# network and the disk more than on the processors.  Two runs on one
# machine share a cached root: one at a time, by its lock.
for entry in "${releases[@]}"; do
  read -r release _ _ _ packages _ <<< "$entry"
  (
    exec {lock}> "$cache/$release.lock"
    flock "$lock"
    if make_root "$release" "$cache/$release" "$packages"; then why=''; else made=''; fi
    printf '%s\n%s\n' "$made" "$why" > "$logs/$release.root"
  ) &
done
wait

for entry in "${releases[@]}"; do
  read -r release version want module packages cpan <<< "$entry"
  label="Debian $version ($release)" ok=1
  root=$cache/$release log=$logs/$release.log
  made='' why='making its root ended early'
  [[ ! -f $logs/$release.root ]] || { read -r made; read -r why; } < "$logs/$release.root"
  if [[ -n $why ]]; then
    if [[ $why == fetch:* ]]; then skip "$label: cannot be fetched from $mirror, not tested: ${why#fetch: }"
    else fail "$label: no root: $why"; failed=$((failed + 1)); fi
    continue
  fi
  exec {lock}> "$cache/$release.lock"
  flock "$lock"
  size=$(du -sxm "$root" | cut -f1)
  how=${made:+made in $made s}
  start=$SECONDS
  # What a run that was killed outright left there.
  rm -rf --one-file-system "$root"/tmp/plotrune.*
  work=$(mktemp -d "$root/tmp/plotrune.XXXXXX") inside=${work#"$root"}
  if ! mount_in "$root"; then
    fail "$label: cannot mount /proc and /dev in $root"; ok=0
  fi
  if [[ $ok == 1 ]]; then
    tar -xJf "$archive" -C "$work"
    top=$(cd "$work" && ls -d perlplotrune-*/ | head -n 1)
    lib=$inside/${top%/}/lib/perl5
    tar -C "$repo" -cf - lib inc t .ci/t | (mkdir -p "$work/src" && tar -xf - -C "$work/src")
    # The perl is the release's and loads the build of its interface.
    got=$(in_root "$root" /usr/bin/perl -I"$lib" -e 'use PlotRune qw(id); printf "%vd %s", $^V, id()' 2>> "$log")
    if [[ $got != "$want $module" ]]; then
      fail "$label: /usr/bin/perl with -I$lib: wanted perl $want loading $module, got: ${got:-nothing}"
      tail -n 5 "$log" | sed 's/^/  /'; ok=0
    fi
  fi
  passed=()
  if [[ $ok == 1 ]]; then
    step shipped.t "$root" /usr/bin/env PLOTRUNE_SHIPPED="$lib" /usr/bin/prove "$inside/src/.ci/t/shipped.t" &&
      passed+=(shipped.t) || ok=0
    # The suite's call tests against the shipped module file and engine,
    # from a module table of one row that names them.
    printf 'module\tarch\tperl\tmodule_file\tengine_file\tsupported\n%s\tx86_64\t/usr/bin/perl\t%s\t%s\t1\n' \
      "$module" "$lib/PlotRune/x86_64/$module.so" "$lib/PlotRune/x86_64/libplotrune.so" > "$work/modules.tsv"
    files=()
    for test in "${call_tests[@]}"; do files+=("$inside/src/t/$test.t"); done
    step "the call tests (${call_tests[*]})" "$root" /usr/bin/env PLOTRUNE_MODULES="$inside/modules.tsv" \
      /usr/bin/prove -j2 -I "$inside/src/t/lib" "${files[@]}" &&
      passed+=("${#call_tests[@]} call test files") || ok=0
  fi
  if [[ $ok == 1 && $cpan == cpan ]]; then
    cp "$dist" "$work/"
    tarball=$(basename "$dist") cpan_start=$SECONDS
    if step "the CPAN path" "$root" /bin/sh -ec "cd $inside && tar -xzf $tarball && cd ${tarball%.tar.gz} &&
                                               perl Makefile.PL && make && HARNESS_OPTIONS=j2 make test"; then
      gxx=$(in_root "$root" g++ -dumpfullversion)
      passed+=("the CPAN path of $tarball with g++ $gxx in $((SECONDS - cpan_start)) s")
    else
      ok=0
    fi
  fi
  unmount_all
  rm -rf --one-file-system "$work"; work=''
  exec {lock}>&-
  if [[ $ok == 0 ]]; then
    failed=$((failed + 1))
  else
    echo "debian-roots: $label: perl $want loads $module with only -I; passed: $(printf '%s, ' "${passed[@]}" | sed 's/, $//')" \
         "(tests $((SECONDS - start)) s; root ${how:-cached}, ${size} MB)"
  fi
done
[[ $failed -eq 0 ]] && rm -rf "$logs"
echo "debian-roots: $((${#releases[@]} - failed - skipped)) passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]] || exit 1
[[ $skipped -eq 0 ]] || exit 3
exit 0

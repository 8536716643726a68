#!/bin/bash
# Provide a 32-bit x86 perl without threads and with a 32-bit IV, built from
# Debian's perl source package, since Debian ships no such perl.  Prints the
# path of the perl as the last line of stdout; everything else goes to stderr.
set -euo pipefail
exec 3>&1 1>&2   # keep stdout clean for the final path

cache="${PLOTRUNE_CACHE:-/var/cache/perlplotrune}"
prefix="$cache/perl-5.36-i386-nothreads"
exe="$prefix/bin/perl"
export DEBIAN_FRONTEND=noninteractive

# An existing install is only reused if it really is the perl we want;
# a half-finished or differently configured one gets rebuilt.
good() {
    [ -x "$exe" ] && [ "$("$exe" -MConfig -e \
        'print join ",", map { $Config{$_} // "undef" } qw(ptrsize ivsize useithreads)' 2>/dev/null)" = "4,4,undef" ]
}
if good; then echo "$exe" >&3; exit 0; fi

# Tools for fetching the source and compiling 32-bit code on an x86_64 host.
need=(gcc-multilib libc6-dev-i386 dpkg-dev xz-utils make file)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

# apt-get source needs deb-src entries; add them beside Debian's own binary
# entries (same mirrors and suites) in a file of our own, once.
srcfile=/etc/apt/sources.list.d/perlplotrune-src.sources
need_update=
if ! grep -rqsE '^[[:space:]]*(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$srcfile"
    else
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > "${srcfile%.sources}.list"
    fi
    need_update=1
fi
if [ -n "$need_update" ] || [ ${#missing[@]} -gt 0 ] || ! apt-cache showsrc perl 2>/dev/null | grep -q '^Version:'; then
    apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Build the same upstream version as the host perl, so results compare;
# fall back to the newest source apt knows if that exact one is gone.
want=$(dpkg-query -W -f='${Version}' perl)
versions=$(apt-cache showsrc perl | sed -n 's/^Version: //p')
grep -qxF "$want" <<<"$versions" || want=$(sort -V <<<"$versions" | tail -1)
upstream=${want%%-*}; upstream=${upstream#*:}

work="$cache/src"
tree="$work/perl-$upstream"
rm -rf "$work" && mkdir -p "$work"
# Debian's patches only adapt perl to Debian's own layout (paths, @INC);
# the plain upstream tree is what we want for a private prefix.
(cd "$work" && apt-get source -qq --download-only "perl=$want" &&
    dpkg-source --skip-patches -x ./perl_*.dsc "$tree" >/dev/null)

# XS extensions the test suite loads; every pure-Perl extension (Test::More,
# TAP::Harness, File::Temp, ...) is kept too, as it costs no compile time.
xs="List/Util Data/Dumper Fcntl File/Glob IO Cwd POSIX"
cd "$tree"
nonxs=$(./Configure -S </dev/null >/dev/null 2>&1 || true)  # placeholder

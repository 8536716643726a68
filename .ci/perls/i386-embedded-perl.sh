#!/bin/bash
# shellcheck disable=SC2016  # single-quoted perl code is meant literally
# Provide a 32-bit (i386) threaded perl with 64-bit IV: Debian's i386
# libperl driven by our small embedding main.  Prints the path of the
# executable as the last line of stdout; everything else goes to stderr.
# When Debian's packages cannot be installed (a mirror in mid-sync can offer
# i386 and amd64 perl packages of different versions, which cannot stand
# side by side), the last line is "skip: " and why, in one line: this perl
# is beyond the supported set, and CI goes on without it.
set -euo pipefail
exec 3>&1 1>&2   # keep stdout clean for the final path

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src="$here/embedded_perl_main.c"
prefix="${PLOTRUNE_CACHE:-/var/cache/perlplotrune}/i386-embedded"
exe="$prefix/bin/perl"
arch=/usr/lib/i386-linux-gnu/perl/5.36
libperl=/usr/lib/i386-linux-gnu/libperl.so.5.36
export DEBIAN_FRONTEND=noninteractive

# libperl-dev:i386 is co-installable with the host perl (of the same
# version), and apt offers it once i386 is a foreign architecture, which
# ensure-packages adds.
if ! why=$(bash "$here/../../tools/ensure-packages.sh" libperl-dev:i386 gcc-multilib 2>&1 >/dev/null); then
    echo "$why"
    echo "skip: ${why##*$'\n'}" >&3
    exit 0
fi

# The i386 Config.pm refuses to load under the 64-bit host perl, so read
# the flags libperl was compiled with straight from its config.sh copy.
cfg() { sed -n "s/^$1='\(.*\)'\$/\1/p" "$arch/Config_heavy.pl"; }
[ -n "$(cfg ccflags)" ] || { echo "no ccflags found in $arch/Config_heavy.pl"; exit 1; }
cflags="-m32 $(cfg ccflags) $(cfg optimize) -I$arch/CORE"
ldflags="-m32 $(cfg ldflags) $(cfg ccdlflags)"

# Rebuild only when the source, the flags or the libperl package changed.
stamp=$( { cat "$src"; echo "$cflags $ldflags"; dpkg-query -W -f='${Version}' libperl5.36:i386; } | sha256sum | cut -d' ' -f1)
if [ -x "$exe" ] && [ "$(cat "$prefix/.stamp" 2>/dev/null)" = "$stamp" ]; then
    echo "$exe" >&3
    exit 0
fi

mkdir -p "$prefix/bin"
# shellcheck disable=SC2086  # flag lists are meant to split
gcc $cflags -o "$exe.tmp" "$src" $ldflags "$libperl"
facts=$("$exe.tmp" -MConfig -e 'print "$Config{ptrsize} $Config{ivsize} $Config{useithreads}"')
[ "$facts" = "4 8 define" ] || { echo "built perl reports '$facts', not '4 8 define'"; exit 1; }
mv -f "$exe.tmp" "$exe"
echo "$stamp" > "$prefix/.stamp"
echo "$exe" >&3

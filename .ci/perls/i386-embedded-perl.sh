#!/bin/bash
# shellcheck disable=SC2016  # single-quoted perl code is meant literally
# Provide a 32-bit (i386) threaded perl with 64-bit IV: Debian's i386
# libperl driven by our small embedding main.  Prints the path of the
# executable as the last line of stdout; everything else goes to stderr.
set -euo pipefail
exec 3>&1 1>&2   # keep stdout clean for the final path

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src="$here/embedded_perl_main.c"
prefix="${PLOTRUNE_CACHE:-/var/cache/perlplotrune}/i386-embedded"
exe="$prefix/bin/perl"
arch=/usr/lib/i386-linux-gnu/perl/5.36
libperl=/usr/lib/i386-linux-gnu/libperl.so.5.36
export DEBIAN_FRONTEND=noninteractive

installed() {
    local p
    for p; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || return 1; done
}

# libperl-dev:i386 is co-installable with the host perl, but apt only
# offers it once i386 is a foreign architecture.
if ! installed libperl-dev:i386 gcc-multilib; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends libperl-dev:i386 gcc-multilib >/dev/null
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

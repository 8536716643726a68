#!/bin/bash
# Provide Debian 12's own arm64 perl (5.36, threads, 64-bit IV): its
# packages (perl-base, perl-modules-5.36, libperl5.36, libperl-dev and the
# libraries they need) unpacked into the aarch64 sysroot of tools/emulation.sh,
# never installed, where its handler makes them the perl's own /usr.  Prints
# the path of the perl as the last line of stdout; everything else goes to
# stderr.  A package that cannot be had (a mirror in mid-sync) is named in
# one line, and it fails: this perl is of the supported set.
set -euo pipefail
exec 3>&1 1>&2   # keep stdout clean for the final path
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)
sysroot=$(bash "$tools/emulation.sh" unpack aarch64 perl-base perl-modules-5.36 libperl5.36 libperl-dev \
            libcrypt1 zlib1g libbz2-1.0 libdb5.3 libgdbm6 libgdbm-compat4 2> >(tail -n 1 >&2))
perl=$sysroot/usr/bin/perl
facts=$("$perl" -MConfig -e 'print "$Config{archname} $Config{ivsize} $Config{useithreads}"')
[[ $facts == "aarch64-linux-gnu-thread-multi 8 define" ]] || { echo "Debian's arm64 perl reports '$facts'"; exit 1; }
echo "$perl" >&3

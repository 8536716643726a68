#!/bin/bash
# shellcheck disable=SC2016  # single-quoted perl code is meant literally
# Provide a 32-bit x86 perl without threads and with a 32-bit IV, built from
# Debian's perl source package, since Debian ships no such perl.  Prints the
# path of the perl as the last line of stdout; everything else goes to stderr.
# When a package it needs cannot be had (the tools, or the source from a
# mirror in mid-sync), the last line is "skip: " and why, in one line: this
# perl is beyond the supported set, and CI goes on without it.
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

skip() { echo "skip: $*" >&3; exit 0; }
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)

# Configure and make run the i386 miniperl hundreds of times: emulated,
# that alone takes over twenty minutes, a quarter of CI's time.  This perl
# is beyond the supported set; where i386 is emulated it is used when a
# run on a host of native i386 left it in the cache, and not built.
if [ "$(bash "$tools/emulation.sh" mode)" = emulated ]; then
    skip "i386 code is emulated here, and building it runs the i386 miniperl hundreds of times (over 20 minutes)"
fi

# Tools for compiling 32-bit code on an x86_64 host.  The multilib libc has
# no libcrypt, so that one comes from the i386 arch.
need=(gcc-multilib libc6-dev-i386 libcrypt-dev:i386 make)
if ! why=$(bash "$tools/ensure-packages.sh" "${need[@]}" 2>&1 >/dev/null); then
    echo "$why"
    skip "${why##*$'\n'}"
fi

work="$cache/src"
log="$work/build.log"
rm -rf "$work" && mkdir -p "$work" && cd "$work"
# Run a step with its output in the log; show the tail only if it fails.
step() { "$@" >>"$log" 2>&1 || { tail -n 40 "$log"; echo "failed: $*"; exit 1; }; }

# The plain upstream tree of Debian's source of the host perl's version.
status=0
bash "$tools/debian-perl-source.sh" "$work/tree" >>"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 20 "$log"
    [ "$status" -eq 3 ] && skip "$(tail -n 1 "$log")"
    echo "failed: Debian's perl source"; exit 1
fi
cd tree

# XS extensions that tests load (Test2 itself needs Time::HiRes, and Storable
# for forked tests), plus B for ExtUtils::MakeMaker and re for the build's
# own doc step.  Configure keeps every pure-Perl extension regardless, so
# Test::More, TAP::Harness, File::Temp, ... get installed as well.
xs="List/Util Data/Dumper Fcntl File/Glob IO Cwd POSIX Time/HiRes Storable mro PerlIO/scalar re B"
# -m32 goes into cc itself so every probe and link is 32-bit.  Configure
# keeps a given lddlflags as is, so -shared must be spelled out.  The hints
# take library dirs from the 64-bit gcc and pick up whatever -l happens to
# exist on the machine, so point them at the multilib dir and fix the libs.
# archname would otherwise come from the 64-bit uname.
step ./Configure -des -Dcc='gcc -m32' -Accflags=-m32 -Aldflags=-m32 -Dlddlflags='-shared -m32' \
    -Dplibpth=/usr/lib32 -Dlibs='-lpthread -ldl -lm -lcrypt -lutil -lc' \
    -Uuseithreads -Uusemultiplicity -Uuse64bitint -Uuse64bitall -Uuselongdouble -Dusedl \
    -Darchname=i686-linux -Dprefix="$prefix" -Dman1dir=none -Dman3dir=none -Donlyextensions="$xs"
step make -j2
rm -rf "$prefix"
step make install
cd / && rm -rf "$work"   # the install is all we reuse

good || { echo "built perl at $exe is not the expected 32-bit, no-threads, 32-bit-IV perl"; exit 1; }
echo "$exe" >&3

#!/bin/bash
# Unpacks the archived perls of the supported configurations, 32-bit x86,
# x86_64 and aarch64 (those in the aarch64 folder), and of a few other shapes (one .tar.xz per release or
# group, every shape of it in a folder of its own) into the
# cache, once, and again only when an archive changed; prints the path of
# every perl executable they hold, one a line, on stdout.  Everything else
# goes to stderr.
#
# The archives come from outside the project: $PLOTRUNE_PERL_ARCHIVES, by
# default ../shared/perls beside the clone when that folder exists.  Without
# them this prints nothing and says so.
set -euo pipefail
exec 3>&1 1>&2   # keep stdout for the paths

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
archives=${PLOTRUNE_PERL_ARCHIVES:-}
if [[ -z $archives && -d $root/../shared/perls ]]; then
    archives=$(cd "$root/../shared/perls" && pwd)
fi
if [[ -z $archives || ! -d $archives ]]; then
    echo "ci: no perl archives (PLOTRUNE_PERL_ARCHIVES is unset and ../shared/perls is absent): testing no supported configuration"
    exit 0
fi
shopt -s nullglob
files=("$archives"/*.tar.xz "$archives"/aarch64/*.tar.xz)
if [[ ${#files[@]} -eq 0 ]]; then
    echo "ci: no perl archives in $archives: testing no supported configuration"
    exit 0
fi

# Most are 32-bit programs: they need the i386 C library, and xz to unpack.
bash "$root/tools/ensure-packages.sh" xz-utils gcc-multilib

cache="${PLOTRUNE_CACHE:-/var/cache/perlplotrune}/archived-perls"
mkdir -p "$cache"
for archive in "${files[@]}"; do
    name=$(basename "$archive" .tar.xz)
    dest="$cache/$name"
    sum=$(sha256sum "$archive" | cut -d' ' -f1)
    if [[ "$(cat "$dest/.sha256" 2>/dev/null)" != "$sum" ]]; then
        echo "unpacking $name"
        rm -rf "$dest" "$dest.tmp"
        mkdir -p "$dest.tmp"
        tar -xJf "$archive" -C "$dest.tmp"
        echo "$sum" > "$dest.tmp/.sha256"
        mv "$dest.tmp" "$dest"
    fi
    for perl in "$dest"/*/bin/perl; do
        [[ -x $perl ]] && echo "$perl" >&3
    done
done

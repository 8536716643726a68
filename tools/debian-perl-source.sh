#!/usr/bin/env bash
# Unpacks the plain upstream tree of Debian's perl source package, of the
# host perl's upstream version, into DEST (which must not exist yet), and
# prints that version.  Exits 3 with why in one line on stderr when the
# source cannot be had (no deb-src lists, a mirror in mid-sync, no
# network); 1 when it was had but does not unpack.  Needs root for apt.
# With --tarball, puts the upstream tarball itself into the folder DEST
# instead, and prints its path.
# Usage: tools/debian-perl-source.sh [--tarball] DEST
set -euo pipefail
tarball=
[[ ${1:-} != --tarball ]] || { tarball=1; shift; }
[[ $# -eq 1 ]] || { echo "usage: $0 [--tarball] DEST" >&2; exit 2; }
dest=$(realpath -m "$1")
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export DEBIAN_FRONTEND=noninteractive
unavailable() { echo "$*" >&2; exit 3; }

# apt-get source needs deb-src entries; add them in a file of our own that
# mirrors Debian's binary entries (same mirrors and suites), once.
srcfile=/etc/apt/sources.list.d/perlplotrune-src.sources
if ! grep -rqsE '^[[:space:]]*(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$srcfile"
    else
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > "${srcfile%.sources}.list"
    fi
fi
why=$(bash "$tools/ensure-packages.sh" dpkg-dev xz-utils 2>&1 >/dev/null) || unavailable "${why##*$'\n'}"
# A mirror in mid-sync fails the update of some index: the source index
# there is may still do.
if ! apt-cache showsrc perl 2>/dev/null | grep -q '^Version:'; then
    apt-get -o DPkg::Lock::Timeout=300 update -qq >&2 || echo "apt-get update failed; trying the source lists there are" >&2
fi

download=$(mktemp -d "${TMPDIR:-/tmp}/perl-source.XXXXXX")
trap 'rm -rf "$download"' EXIT
cd "$download"
# Every Debian revision of the host's upstream version carries the same
# upstream tarball, and a mirror may lack the source of the newest
# (security) revision, so take the first one that downloads.
host=$(dpkg-query -W -f='${Version}' perl)
upstream=${host#*:}; upstream=${upstream%%-*}
got=
for v in "$host" $(apt-cache showsrc perl 2>/dev/null | sed -n 's/^Version: //p' | sort -rV); do
    case "$v" in "$upstream"-*|*:"$upstream"-*) ;; *) continue ;; esac
    if apt-get source -qq --download-only "perl=$v" >download.log 2>&1; then got=$v; break; fi
done
[ -n "$got" ] || { tail -n 20 download.log >&2 2>/dev/null || true; unavailable "no source of Debian's perl $upstream could be downloaded"; }
if [[ -n $tarball ]]; then
    mkdir -p "$dest"
    cp "perl_$upstream.orig.tar.xz" "$dest/"
    echo "$dest/perl_$upstream.orig.tar.xz"
    exit 0
fi
# Debian's patches adapt perl to Debian's own layout (@INC, install paths),
# which would leak the host's module folders into a perl of another prefix:
# the plain upstream tree is what a private prefix wants.
mkdir -p "$(dirname "$dest")"
dpkg-source --skip-patches -x ./perl_*.dsc "$dest" >&2
echo "$upstream"

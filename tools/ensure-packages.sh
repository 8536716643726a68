#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (names may
# carry an architecture, e.g. libperl-dev:i386).  Needs root and apt-get.
set -euo pipefail
missing=()
for package in "$@"; do
  if [[ $package == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    [[ $(id -u) == 0 ]] || { echo "need root to add the i386 architecture" >&2; exit 1; }
    dpkg --add-architecture i386
    missing+=(--update-needed)
  fi
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$package")
done
packages=()
update=0
for m in "${missing[@]+"${missing[@]}"}"; do
  if [[ $m == --update-needed ]]; then update=1; else packages+=("$m"); fi
done
[[ ${#packages[@]} -gt 0 ]] || exit 0
if [[ $(id -u) != 0 ]]; then
  echo "missing Debian packages: ${packages[*]} (install them as root)" >&2
  exit 1
fi
echo "installing: ${packages[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# The lists may be stale or absent on a fresh machine.
if [[ $update == 1 ]] || ! apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

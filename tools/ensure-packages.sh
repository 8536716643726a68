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
# Other runs on this machine may be installing too: wait for dpkg's lock
# rather than fail on it.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# A mirror in mid-sync fails the update of one index or another: that ends
# nothing, the lists there are may well hold what is wanted.
update() {
  if ! apt-get -o DPkg::Lock::Timeout=300 update -qq > "$log" 2>&1; then
    echo "apt-get update failed, installing from the package lists there are: $(grep -m1 -E '^(E|W):' "$log" || tail -n 1 "$log")" >&2
  fi
}
install() { apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${packages[@]}" > "$log" 2>&1; }
# The lists may be stale or absent on a fresh machine.
[[ $update == 0 ]] || update
installed=0
install && installed=1
if [[ $installed == 0 && $update == 0 ]]; then
  update
  install && installed=1
fi
if [[ $installed == 0 ]]; then
  # apt's errors, then one line of why as the last line, for callers that go
  # on without these packages: the unmet dependency of a package asked for, or the first one, else
  # its last error.
  grep -E '^(E:| )' "$log" >&2 || true
  # Quiet, apt leaves out which dependency broke; a simulated run names it.
  apt-get install -s --no-install-recommends "${packages[@]}" > "$log" 2>&1 || true
  why=
  for package in "${packages[@]}"; do
    why=$(grep -m1 -F " $package : " "$log" | sed -E 's/^ +//') || true
    [[ -z $why ]] || break
  done
  [[ -n $why ]] || why=$(grep -m1 -E '^ +[^ ]+ : (Depends|Conflicts|PreDepends|Breaks):' "$log" | sed -E 's/^ +//') || true
  [[ -n $why ]] || why=$(grep -E '^E:' "$log" | tail -n 1) || true
  echo "cannot install ${packages[*]}: ${why:-apt-get install failed}" >&2
  exit 1
fi

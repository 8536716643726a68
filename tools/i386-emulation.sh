#!/usr/bin/env bash
# How this host runs i386 (32-bit x86) programs, and the one place that says
# what to do when it runs none.  Every 32-bit perl the project uses (the
# supported configurations are all 32-bit) needs one of:
#   - a kernel that runs them natively (x86_64 built with IA32 emulation and
#     not booted with ia32_emulation=off), or
#   - user-mode emulation: qemu-i386-static registered with binfmt_misc,
#     which `setup` below does.  Debian's qemu-user-static registers no
#     handler for i386 on an amd64 host, since it expects the kernel to run
#     i386 itself.
#
# Usage:
#   tools/i386-emulation.sh setup [PERL ...]
#       As root: sets up emulation when i386 programs do not run (installs
#       qemu-user-static, mounts binfmt_misc, registers the handler), and
#       changes nothing where they do.  Prints one line: how i386 code runs.
#       Given perls, it acts only when one of them is an i386 program.  Not
#       root: the line when i386 code runs, else the message and failure.
#       PLOTRUNE_I386_EMULATION=force registers the handler even where the
#       kernel runs i386 natively (a handler takes precedence over the
#       kernel's own loader): the way to test the emulated path on such a
#       host, best in a private binfmt_misc (docs/foreign-processors.md).
#   tools/i386-emulation.sh status     the one line, changing nothing
#   tools/i386-emulation.sh mode       native, emulated or none
#   tools/i386-emulation.sh check PERL ...
#       Fails with the message for the first i386 perl this host cannot run.
#   tools/i386-emulation.sh is-i386 FILE    succeeds when FILE is an i386 program
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binfmt=/proc/sys/fs/binfmt_misc
handler_name=plotrune-i386
qemu=/usr/bin/qemu-i386-static
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The message, naming the program that could not be started, if one was.
refused() {
  cat >&2 <<EOF
${1:+cannot start $1: }this kernel runs no i386 (32-bit x86) programs (starting one fails with "Exec format error").
  Either boot the kernel with ia32_emulation=on, or emulate i386 in user mode: run
  tools/i386-emulation.sh setup as root (it installs qemu-user-static and registers it with binfmt_misc).
EOF
}

is_i386() {
  local head file=$1
  [[ $file == */* ]] || file=$(command -v "$file") || return 1
  head=$(head -c 20 "$file" 2>/dev/null | od -An -tx1 | tr -d ' \n') || return 1
  [[ $head == 7f454c46010101* && ${head:36:4} == 0300 && ${head:32:2} =~ ^0[23]$ ]]
}

# Runs a 93-byte i386 program that only exits: no library, no compiler, so
# the answer is about the kernel and its handlers alone.
runs_i386() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/i386-probe.XXXXXX")
  # ELF header, one loadable segment, then: xor ebx,ebx; mov eax,1; int 0x80
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' > "$probe"
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >> "$probe"
  printf '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >> "$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return $status
}

# The enabled binfmt_misc handler for i386, as "name interpreter", if any
# (whoever registered it, under whatever name).
handler() {
  local entry
  [[ -f $binfmt/status && $(cat "$binfmt/status") == enabled ]] || return 0
  for entry in "$binfmt"/*; do
    [[ -f $entry && ${entry##*/} != register && ${entry##*/} != status ]] || continue
    if grep -qx enabled "$entry" && grep -Eq '^magic 7f454c460101.{24}0300' "$entry"; then
      echo "${entry##*/} $(sed -n 's/^interpreter //p' "$entry")"
      return 0
    fi
  done
}

# The one line: how i386 code runs here (status 1 when it does not).
describe() {
  local h
  h=$(handler)
  if runs_i386; then
    if [[ -n $h ]]; then
      echo "i386 code runs emulated, by ${h#* } (binfmt_misc handler ${h%% *})"
    else
      echo "i386 code runs natively"
    fi
  else
    return 1
  fi
}

mode() {
  if ! runs_i386; then echo none
  elif [[ -n $(handler) ]]; then echo emulated
  else echo native
  fi
}

setup() {
  local perl wanted=0 h
  if [[ $# -gt 0 ]]; then
    for perl; do is_i386 "$perl" && wanted=1; done
    [[ $wanted == 1 ]] || return 0
  fi
  local force=${PLOTRUNE_I386_EMULATION:-}
  [[ -z $force || $force == force ]] || { echo "PLOTRUNE_I386_EMULATION: only 'force' is known, not '$force'" >&2; return 2; }
  if [[ -z $force || -n $(handler) ]] && describe; then
    return 0
  fi
  if [[ $(id -u) != 0 ]]; then
    refused
    echo "  (not root: nothing was set up)" >&2
    return 1
  fi
  bash "$root/tools/ensure-packages.sh" qemu-user-static || {
    echo "cannot install qemu-user-static" >&2; refused; return 1; }
  if [[ ! -f $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || {
      echo "cannot mount binfmt_misc on $binfmt" >&2; refused; return 1; }
  fi
  [[ $(cat "$binfmt/status") == enabled ]] || echo 1 > "$binfmt/status"
  h=$(handler)
  if [[ -z $h ]]; then
    # F: the interpreter is opened now, so it also serves programs started
    # in other mount namespaces and chroots.
    printf ":%s:M::%s:%s:%s:F" "$handler_name" "$magic" "$mask" "$qemu" > "$binfmt/register"
  fi
  describe && return 0
  [[ -z $h ]] || echo "the binfmt_misc handler ${h%% *} for i386 is registered, but its interpreter ${h#* } does not start i386 programs" >&2
  refused
  return 1
}

check() {
  local perl
  for perl; do
    is_i386 "$perl" || continue
    runs_i386 || { refused "$perl"; return 1; }
  done
}

command=${1:-}
shift || true
case $command in
  setup) setup "$@" ;;
  status) describe || { refused; exit 1; } ;;
  mode) mode ;;
  check) check "$@" ;;
  is-i386) is_i386 "${1:?is-i386 FILE}" ;;
  *) echo "usage: $0 setup [PERL ...] | status | mode | check PERL ... | is-i386 FILE" >&2; exit 2 ;;
esac

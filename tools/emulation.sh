#!/usr/bin/env bash
# How this host runs programs of each processor the project builds for that
# is not its own (i386, aarch64), and the one place that says what to do
# when it runs none.  A perl of such a processor needs one of:
#   - a kernel that runs them natively: an arm64 host for aarch64; for i386
#     an x86_64 kernel built with IA32 emulation and not booted with
#     ia32_emulation=off;
#   - user-mode emulation: qemu-<cpu>-static registered with binfmt_misc,
#     which `setup` below does.  Debian's qemu-user-static registers no
#     handler for i386 on an amd64 host (it expects the kernel to run i386
#     itself), nor one where systemd does not run.  An aarch64 program also
#     needs the arm64 C library and its loader: `setup` unpacks them from
#     Debian's packages into the sysroot the build rules name
#     ($PLOTRUNE_CACHE/aarch64-sysroot; never installing them), and `env`
#     names it to qemu as the root of the program's libraries
#     (QEMU_LD_PREFIX), so that whichever handler runs the program (ours,
#     ours from another cache, Debian's qemu-aarch64) it runs with this
#     run's files.  The same folder is the sysroot aarch64 modules are
#     compiled against on a host of another processor.
#
# Usage:
#   tools/emulation.sh setup [PERL ...]
#       As root: sets up emulation for each processor whose programs do not
#       run (installs qemu-user-static, unpacks the C library it needs,
#       mounts binfmt_misc, registers the handler), and changes nothing where
#       they do.  Prints one line per processor: how its code runs.  Given
#       perls, it acts only for theirs.  Not root: the lines when their code
#       runs, else the message and failure.  PLOTRUNE_I386_EMULATION=force
#       registers the i386 handler even where the kernel runs i386 natively
#       (a handler takes precedence over the kernel's own loader): the way to
#       test the emulated path on such a host, best in a private binfmt_misc (docs/foreign-processors.md).
#   tools/emulation.sh status [CPU]     the lines (or that one), changing nothing
#   tools/emulation.sh mode [CPU]       native, emulated or none (default i386)
#   tools/emulation.sh check PERL ...
#       Fails with the message for the first perl this host cannot run.
#   tools/emulation.sh cpu FILE         the processor FILE is a program for
#   tools/emulation.sh sysroot CPU      the build rules' sysroot of CPU
#   tools/emulation.sh env              NAME=VALUE lines to export before
#       running programs of the processors emulated here (test.sh, .ci/run)
#   tools/emulation.sh unpack CPU PACKAGE ...
#       As root: unpacks Debian's packages of that processor into its sysroot
#       (once; again when the mirror's version changed); prints the sysroot.
#       A package that cannot be had is named in the last line, and it fails.
#   tools/emulation.sh toolchain CPU
#       As root: installs what compiling for it needs here and unpacks its
#       sysroot; prints the sysroot.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binfmt=/proc/sys/fs/binfmt_misc
host_cpu=$(uname -m)
[[ $host_cpu != i[3-6]86 ]] || host_cpu=i386
foreign=(i386 aarch64)

# Per processor: its Debian architecture, the ELF header binfmt_misc matches
# (executables and shared objects) and its mask, the start of a handler's
# magic line, and a program that only exits (no library, no compiler, so the
# answer is about the kernel and its handlers alone).
declare -A debian=([i386]=i386 [aarch64]=arm64)
declare -A magic=(
  [i386]='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  [aarch64]='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00')
declare -A mask=(
  [i386]='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [aarch64]='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff')
declare -A magic_line=([i386]='7f454c460101.{24}0300' [aarch64]='7f454c460201.{24}b700')
declare -A probe=(
  # ELF header, one loadable segment, then: xor ebx,ebx; mov eax,1; int 0x80
  [i386]='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80'
  # ELF header, one loadable segment, then: mov x0,#0; mov x8,#93; svc #0
  [aarch64]='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00\x01\x00\x00\x00\x78\x00\x40\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x38\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x84\x00\x00\x00\x00\x00\x00\x00\x84\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00\x00\x80\xd2\xa8\x0b\x80\xd2\x01\x00\x00\xd4')
# The C library an emulated program of the processor needs beside qemu, when
# Debian's multiarch packages do not provide it: unpacked into its sysroot.
declare -A c_library=([aarch64]='libc6 libgcc-s1')
# What compiling for it on a host of another processor needs: the C
# library's headers and startup files and the compiler's own library in the
# sysroot, clang to compile for it and binutils to link for it.
declare -A c_library_dev=([aarch64]='libc6-dev linux-libc-dev libgcc-12-dev libcrypt-dev')
declare -A cross_tools=([aarch64]='clang binutils-aarch64-linux-gnu')
# A program of the processor's C library that runs and prints, for the check
# that an emulated program finds that library.
declare -A c_library_program=([aarch64]=lib/aarch64-linux-gnu/libc.so.6)
# The processor's file tree (the build rules decide where), and what a
# handler of ours runs.
declare -A sysroots=()
sysroot() {
  [[ -n ${sysroots[$1]:-} ]] ||
    sysroots[$1]=$(perl -I"$root/inc" -MPlotruneBuild::Rules -e 'print PlotruneBuild::Rules::sysroot(shift)' "$1")
  echo "${sysroots[$1]}"
}
runner() { echo "$(sysroot "$1").qemu"; }

# The message, naming the program that could not be started, if one was.
refused() {
  local cpu=$1 program=${2:-}
  {
    echo "${program:+cannot start $program: }this host runs no $cpu programs (starting one fails with \"Exec format error\")."
    if [[ $cpu == i386 ]]; then
      echo "  Either boot the kernel with ia32_emulation=on, or emulate i386 in user mode: run"
    else
      echo "  Run them on an $cpu host, or emulate $cpu in user mode: run"
    fi
    echo "  tools/emulation.sh setup as root (it installs qemu-user-static, unpacks the C library it needs and registers it with binfmt_misc)."
  } >&2
}

# The processor of a program: the build rules' ELF reader, under the host's perl.
cpu_of() {
  local file=$1
  [[ $file == */* ]] || file=$(command -v "$file") || return 1
  perl -I"$root/inc" -MPlotruneBuild::Engine -le 'print PlotruneBuild::Engine::elf_cpu(shift)' "$file" 2>/dev/null
}

runs() {
  local cpu=$1 program status=0
  program=$(mktemp "${TMPDIR:-/tmp}/$cpu-probe.XXXXXX")
  printf "${probe[$cpu]}" > "$program"
  chmod +x "$program"
  "$program" 2>/dev/null || status=$?
  rm -f "$program"
  return $status
}

# The enabled binfmt_misc handler for the processor, as "name interpreter",
# if any (whoever registered it, under whatever name): the newest, which the
# kernel tries first.
handler() {
  local cpu=$1 entry found=
  [[ -f $binfmt/status && $(cat "$binfmt/status") == enabled ]] || return 0
  for entry in "$binfmt"/*; do
    [[ -f $entry && ${entry##*/} != register && ${entry##*/} != status ]] || continue
    if grep -qx enabled "$entry" && grep -Eq "^magic ${magic_line[$cpu]}" "$entry"; then
      found="${entry##*/} $(sed -n 's/^interpreter //p' "$entry")"
      [[ ${entry##*/} == "plotrune-$cpu" ]] && break
    fi
  done
  [[ -z $found ]] || echo "$found"
}

# Whether an emulated program finds the C library of this run's sysroot,
# named to qemu as every run names it (env): tried, not assumed from the
# handler's name.
finds_c_library() {
  local cpu=$1 s
  [[ -n ${c_library[$cpu]:-} ]] || return 0
  s=$(sysroot "$cpu")
  [[ $(QEMU_LD_PREFIX=$s "$s/${c_library_program[$cpu]}" 2>/dev/null | head -n 1) == GNU\ C\ Library* ]]
}

# The one line: how the processor's code runs here (status 1 when it does not).
describe() {
  local cpu=$1 h
  [[ $cpu != "$host_cpu" ]] || { echo "$cpu code runs natively"; return 0; }
  h=$(handler "$cpu")
  runs "$cpu" || return 1
  local by=${h#* }
  [[ ! -f $by || $(head -c 2 "$by") != '#!' ]] || by=$(sed -n 's/^exec \([^ ]*\) .*/\1/p' "$by")
  if [[ -z $h ]]; then
    echo "$cpu code runs natively"
  elif ! finds_c_library "$cpu"; then
    return 1
  elif [[ -n ${c_library[$cpu]:-} ]]; then
    echo "$cpu code runs emulated, by $by with the C library of $(sysroot "$cpu") (binfmt_misc handler ${h%% *})"
  else
    echo "$cpu code runs emulated, by $by (binfmt_misc handler ${h%% *})"
  fi
}

mode() {
  local cpu=${1:-i386}
  if ! describe "$cpu" >/dev/null; then echo none
  elif [[ $cpu != "$host_cpu" && -n $(handler "$cpu") ]]; then echo emulated
  else echo native
  fi
}

# Unpacks Debian's packages of the processor into its sysroot, as root,
# never installing them: once per package version.
unpack() {
  local cpu=$1; shift
  local arch=${debian[$cpu]} dest work package version got deb
  dest=$(sysroot "$cpu")
  [[ $(id -u) == 0 ]] || { echo "need root to unpack Debian's $arch packages" >&2; return 1; }
  if ! dpkg --print-foreign-architectures | grep -qx "$arch" && [[ $(dpkg --print-architecture) != "$arch" ]]; then
    dpkg --add-architecture "$arch"
    # A mirror in mid-sync fails one index or another: the rest may do.
    apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 || true
  fi
  mkdir -p "$dest"
  work=$(mktemp -d "${TMPDIR:-/tmp}/$cpu-debs.XXXXXX")
  # The candidate versions, all in one query: of name:arch, or of name
  # for an architecture-independent package (perl-modules-5.36).
  local -A candidate=()
  local -a names=()
  for package; do names+=("$package:$arch" "$package"); done
  while read -r name version; do candidate[$name]=$version; done < <(
    apt-cache policy "${names[@]}" 2>/dev/null | awk '/^[^ ]/ { n = $1; sub(/:$/, "", n) } /^  Candidate:/ { print n, $2 }')
  for package; do
    got=
    for name in "$package:$arch" "$package"; do
      version=${candidate[$name]:-}
      [[ -n $version && $version != '(none)' ]] && { got=$name; break; }
    done
    [[ -n $got ]] || { rm -rf "$work"; echo "cannot get $package for $arch: the package lists name no version of it" >&2; return 1; }
    if ! grep -qxF "$got=$version" "$dest/.unpacked" 2>/dev/null; then
      (cd "$work" && apt-get download -qq "$got=$version" >/dev/null 2>"$work/why") || {
        echo "cannot get $got $version: $(grep -m1 -E '^E:' "$work/why" || tail -n 1 "$work/why")" >&2; rm -rf "$work"; return 1; }
      for deb in "$work"/*.deb; do dpkg -x "$deb" "$dest"; done
      rm -f "$work"/*.deb
      { grep -vE "^${got%%:*}(:$arch)?=" "$dest/.unpacked" 2>/dev/null || true; echo "$got=$version"; } > "$work/list"
      mv "$work/list" "$dest/.unpacked"
    fi
  done
  rm -rf "$work"
  echo "$dest"
}

# What compiling for the processor needs on this host, when its own
# compiler makes no code for it (tools and sysroot; inc/PlotruneBuild/Rules.pm
# chooses the compiler).
cross_toolchain() {
  local cpu=$1
  [[ -n ${cross_tools[$cpu]:-} ]] || return 0
  # shellcheck disable=SC2086  # lists of packages
  bash "$root/tools/ensure-packages.sh" ${cross_tools[$cpu]} &&
    unpack "$cpu" ${c_library[$cpu]} ${c_library_dev[$cpu]} >/dev/null
}

setup_cpu() {
  local cpu=$1 h force=
  [[ $cpu == i386 ]] && force=${PLOTRUNE_I386_EMULATION:-}
  [[ -z $force || $force == force ]] || { echo "PLOTRUNE_I386_EMULATION: only 'force' is known, not '$force'" >&2; return 2; }
  # This run's C library first: whichever handler runs the processor's
  # programs, they run with it.
  if [[ -n ${c_library[$cpu]:-} && $cpu != "$host_cpu" && $(id -u) == 0 ]]; then
    # shellcheck disable=SC2086  # a list of packages
    unpack "$cpu" ${c_library[$cpu]} >/dev/null || { refused "$cpu"; return 1; }
  fi
  h=$(handler "$cpu")
  # A handler of ours that runs anything but qemu (a shell script, as one
  # set-up registered for i386, is itself a program of the host, which an
  # LD_PRELOAD of i386 libraries makes complain) is registered anew.
  if [[ -z ${c_library[$cpu]:-} && $(id -u) == 0 && ${h%% *} == "plotrune-$cpu" && ${h#* } != "/usr/bin/qemu-$cpu-static" ]]; then
    h=stale
  fi
  if [[ $h != stale ]] && [[ -z $force || -n $h ]] && describe "$cpu"; then
    [[ $(id -u) != 0 ]] || cross_toolchain "$cpu"
    return
  fi
  if [[ $(id -u) != 0 ]]; then
    refused "$cpu"
    echo "  (not root: nothing was set up)" >&2
    return 1
  fi
  local interpreter
  bash "$root/tools/ensure-packages.sh" qemu-user-static || {
    echo "cannot install qemu-user-static" >&2; refused "$cpu"; return 1; }
  # qemu itself, or for a processor with a C library of its own a runner
  # that gives it the sysroot (the one a run names, else this cache's).  An
  # i386 program under a run's QEMU_LD_PREFIX finds nothing of its own
  # there, and qemu then takes the host's files.
  interpreter=/usr/bin/qemu-$cpu-static
  if [[ -n ${c_library[$cpu]:-} ]]; then
    interpreter=$(runner "$cpu")
    printf '#!/bin/sh\n# %s programs under qemu, their libraries first from %s\nexport QEMU_LD_PREFIX="${QEMU_LD_PREFIX:-%s}"\nexec %s "$@"\n' \
      "$cpu" "$(sysroot "$cpu")" "$(sysroot "$cpu")" "/usr/bin/qemu-$cpu-static" > "$interpreter.tmp"
    chmod +x "$interpreter.tmp"
    mv "$interpreter.tmp" "$interpreter"
  fi
  if [[ ! -f $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || {
      echo "cannot mount binfmt_misc on $binfmt" >&2; refused "$cpu"; return 1; }
  fi
  [[ $(cat "$binfmt/status") == enabled ]] || echo 1 > "$binfmt/status"
  [[ $h == stale ]] || h=$(handler "$cpu")
  # Ours is registered over one that leaves the C library out: the kernel
  # tries the newest first.
  if [[ -z $h || $h == stale ]] || ! finds_c_library "$cpu"; then
    [[ ! -f $binfmt/plotrune-$cpu ]] || echo -1 > "$binfmt/plotrune-$cpu"
    # F: the interpreter is opened now, so it also serves programs started
    # in other mount namespaces and chroots.
    printf ":%s:M::%s:%s:%s:F" "plotrune-$cpu" "${magic[$cpu]}" "${mask[$cpu]}" "$interpreter" > "$binfmt/register"
  fi
  describe "$cpu" && { cross_toolchain "$cpu"; return; }
  h=$(handler "$cpu")
  [[ -z $h ]] || echo "the binfmt_misc handler ${h%% *} for $cpu is registered, but its interpreter ${h#* } does not start $cpu programs" >&2
  refused "$cpu"
  return 1
}

# The processors of the perls given (every foreign one when none is).
wanted() {
  local perl cpu
  if [[ $# -eq 0 ]]; then printf '%s\n' "${foreign[@]}"; return; fi
  for perl; do
    cpu=$(cpu_of "$perl") || continue
    [[ $cpu == "$host_cpu" || ! " ${foreign[*]} " =~ \ $cpu\  ]] || echo "$cpu"
  done | sort -u
}

setup() {
  local cpu status=0
  for cpu in $(wanted "$@"); do setup_cpu "$cpu" || status=1; done
  return $status
}

status() {
  local cpu status=0
  for cpu in "${@:-${foreign[@]}}"; do describe "$cpu" || { refused "$cpu"; status=1; }; done
  return $status
}

# What every run exports before it runs programs of the processors emulated
# here: the sysroot of each that needs a C library of its own.  qemu has one
# such variable for all; i386 programs find none of their files there and
# take the host's.
env_lines() {
  local cpu
  for cpu in "${foreign[@]}"; do
    [[ -n ${c_library[$cpu]:-} && $cpu != "$host_cpu" ]] || continue
    echo "QEMU_LD_PREFIX=$(sysroot "$cpu")"
  done
}

check() {
  local perl cpu
  for perl; do
    cpu=$(cpu_of "$perl") || continue
    [[ $cpu != "$host_cpu" && " ${foreign[*]} " =~ \ $cpu\  ]] || continue
    describe "$cpu" >/dev/null || { refused "$cpu" "$perl"; return 1; }
  done
}

command=${1:-}
shift || true
case $command in
  setup) setup "$@" ;;
  status) status "$@" ;;
  mode) mode "$@" ;;
  check) check "$@" ;;
  cpu) cpu_of "${1:?cpu FILE}" ;;
  sysroot) sysroot "${1:?sysroot CPU}" ;;
  env) env_lines ;;
  toolchain) cross_toolchain "${1:?toolchain CPU}" && sysroot "$1" ;;
  unpack) [[ $# -ge 2 && -n ${debian[$1]:-} ]] || { echo "usage: $0 unpack CPU PACKAGE ..." >&2; exit 2; }; unpack "$@" ;;
  *) echo "usage: $0 setup [PERL ...] | status [CPU] | mode [CPU] | check PERL ... | cpu FILE | sysroot CPU | env | toolchain CPU | unpack CPU PACKAGE ..." >&2; exit 2 ;;
esac

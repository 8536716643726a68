#!/usr/bin/env bash
# Builds the module and the stand-in engine with AddressSanitizer and
# UndefinedBehaviorSanitizer for one perl (the host perl, or $PERL: a 32-bit
# one takes the i386 runtimes of Debian's multilib packages) and runs the
# whole test suite with the sanitizers preloaded into perl (and so into the
# child perls the tests start).  Any sanitizer report fails the test it
# arose in; leaks are checked at exit with PERL_DESTRUCT_LEVEL=2.  Faults
# planted in an engine of their own (t/engines/planted_faults.c) must each be
# reported, or the run fails.
#
# This is the 32-bit memory check where valgrind cannot run i386 code: under
# user-mode emulation (tools/emulation.sh).  There LeakSanitizer cannot
# stop the process at exit (qemu provides no ptrace), so leaks go unchecked;
# so they do under a perl that leaks at exit on its own.
#
# Usage: [PERL=perl] tools/sanitize.sh [CTEST ARGS ...]   (build folder: $PLOTRUNE_BUILD, default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PLOTRUNE_BUILD:-build-asan}
perl=${PERL:-$(command -v perl)}
packages=(cmake make g++ perl binutils)
leaks=ON
m32=()
if [[ $(bash tools/emulation.sh cpu "$perl") == i386 ]]; then
  m32=(-m32)
  packages+=(gcc-multilib g++-multilib lib32asan8 lib32ubsan1)
  bash tools/emulation.sh check "$perl"
  if [[ $(bash tools/emulation.sh mode) == emulated ]]; then
    leaks=OFF
    # The 32-bit runtime takes the kernel for one of 32-bit x86 (uname says
    # i686 under qemu) and so the top gigabyte for the kernel's, while qemu
    # hands out addresses up to 4 GiB: keep qemu's below 0xbf000000, a
    # margin under 3 GiB, where a 32-bit kernel would have put them.
    export QEMU_RESERVED_VA=0xbf000000
  fi
fi
bash tools/ensure-packages.sh "${packages[@]}"
unchecked="not checked (LeakSanitizer needs ptrace, which i386 emulation lacks)"
# A threaded perl before 5.32 ignores PERL_DESTRUCT_LEVEL (unless built for
# debugging) and leaves its arenas unfreed at exit, which LeakSanitizer
# would report against every test: leaks are checked only where perl on its
# own exits clean.
if [[ $leaks == ON ]]; then
  asan=$("${CXX:-c++}" "${m32[@]+"${m32[@]}"}" -print-file-name=libasan.so)
  own=$(LD_PRELOAD=$asan PERL_DESTRUCT_LEVEL=2 ASAN_OPTIONS=detect_leaks=1 "$perl" -e 1 2>&1 |
        sed -n 's/^SUMMARY: AddressSanitizer: \([0-9]*\) byte.*/\1/p') || true
  if [[ -n $own ]]; then
    leaks=OFF
    unchecked="not checked (this perl on its own leaves $own bytes unfreed at exit; tools/memcheck.sh tells its leaks from the module's)"
  fi
fi
echo "sanitize: ASan and UBSan on $perl; leaks $([[ $leaks == ON ]] && echo checked at exit || echo "$unchecked")"

exec bash tools/build.sh --test "$build" -DPLOTRUNE_SANITIZE=ON -DPLOTRUNE_SANITIZE_LEAKS=$leaks "$perl" -- "$@"

#!/usr/bin/env bash
# The CPAN path end to end, for each perl given: in a copy of the tree,
#   perl Makefile.PL INSTALL_BASE=<temp> && make && make test && make install
# then a plain program under that perl, with only -I into the installed tree,
# does `use PlotRune;`, calls the engine (the stand-in engine found on the
# library search path, since make install installs none) and checks the id.
# Prints one line per perl and a closing count; exits non-zero if any failed.
# It also checks the layout (the same lib/perl5 tree as cmake --install)
# and the engine's install: none without PLOTRUNE_ENGINE, and a last line
# that says where one must go; the engine given in the environment; an
# empty PLOTRUNE_ENGINE refused before anything is written.
# Usage: .ci/makemaker.sh PERL [PERL ...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -eq 0 ]]; then
  echo "usage: $0 PERL [PERL ...]" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/plotrune-makemaker.XXXXXX")
passed=0 failed=0 n=0

for perl in "$@"; do
  n=$((n + 1))
  dir="$work/$n" log="$work/$n.log"
  mkdir -p "$dir/src"
  if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$dir/src"
  else
    cp -R "$root/." "$dir/src"
  fi

  step=''
  run() { step=$1; shift; echo "== $step" >>"$log"; (cd "$dir/src" && "$@") >>"$log" 2>&1; }
  export -n PLOTRUNE_ENGINE
  result=''
  if run 'perl Makefile.PL' "$perl" Makefile.PL "INSTALL_BASE=$dir/inst" &&
     run make make && run 'make test' make test && run 'make install' make install; then
    step='load from the installed tree'
    row=$("$perl" "$root/inc/PlotruneBuild/Command.pm" describe 2>>"$log")
    column() { bash "$root/tools/table-column.sh" - "$1" <<< "$row"; }
    want=$(column module) engine=$(column engine_file) folder=$(column tree_dir)
    engine_dir=$(dirname "$(bash "$root/tools/table-column.sh" "$dir/src/plotrune-mm/test/modules.tsv" engine_file)")
    if find "$dir/inst" -name "$engine" | grep -q .; then
      echo "make install installed an engine" >>"$log"
    elif [[ $(grep -v '^$' "$log" | tail -n 1) != "No engine installed: put $engine in $dir/inst/$folder "* ]]; then
      echo "make install without an engine did not end saying where one must go" >>"$log"
    elif [[ ! -f $dir/inst/lib/perl5/PlotRune.pm || ! -f $dir/inst/$(column tree_pm) || ! -f $dir/inst/$(column tree_so) ]]; then
      echo "make install gave another layout than cmake --install:" >>"$log"
      (cd "$dir/inst" && find . -type f) >>"$log"
    else
      got=$(env -u PERL5LIB -u PERL5OPT LD_LIBRARY_PATH="$engine_dir" "$perl" -I"$dir/inst/lib/perl5" \
              -e 'use PlotRune; print PlotRune::id(), " ", PlotRune::callMethod("num", 2.5)' 2>>"$log")
      echo "loaded: '$got', wanted: '$want 2.5'" >>"$log"
      # The engine given in the environment, as for cmake --install; an
      # empty one is refused before anything is written.
      step='make install with PLOTRUNE_ENGINE'
      if [[ -n $want && $got == "$want 2.5" ]] &&
         ! run 'make install with an empty PLOTRUNE_ENGINE' env PLOTRUNE_ENGINE= make install DESTDIR="$dir/empty" &&
         grep -q 'PLOTRUNE_ENGINE is set but empty' "$log" && [[ ! -e $dir/empty ]] &&
         run "$step" env PLOTRUNE_ENGINE="$engine_dir/$engine" make install DESTDIR="$dir/stage" &&
         cmp -s "$engine_dir/$engine" "$dir/stage$dir/inst/$folder/$engine"; then
        result=$want
      fi
    fi
  fi
  if [[ -n $result ]]; then
    passed=$((passed + 1))
    echo "makemaker: $perl: passed ($result)"
    rm -rf "$dir" "$log"
  else
    failed=$((failed + 1))
    echo "makemaker: $perl: failed at $step (log: $log)"
    tail -n 30 "$log" >&2
  fi
done

[[ $failed -eq 0 ]] && rm -rf "$work"
echo "makemaker: $passed passed, $failed failed"
[[ $failed -eq 0 ]]

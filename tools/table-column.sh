#!/usr/bin/env bash
# Prints one column of a table the build writes (a build folder's module
# table, modules.tsv, or - for the build rules' describe on stdin), found by
# its name in the header line, one line per module; with MODULE, only that
# module's.  Fails when the table lacks the column or the module.  The one
# reader of those tables for shell scripts.
# Usage: tools/table-column.sh TABLE COLUMN [MODULE]
set -euo pipefail
if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 TABLE COLUMN [MODULE]" >&2
  exit 2
fi
awk -F'\t' -v want="$2" -v module="${3:-}" '
  NR == 1 {
    for (i = 1; i <= NF; i++) { if ($i == want) col = i; if ($i == "module") mod = i }
    if (!col) { print FILENAME ": no column " want > "/dev/stderr"; bad = 1; exit }
    next
  }
  module == "" || $mod == module { print $col; found = 1 }
  END {
    if (bad) exit 1
    if (!found) { print FILENAME ": no module" (module == "" ? "" : " " module) > "/dev/stderr"; exit 1 }
  }' "$1"

#!/usr/bin/env bash
# The closing report of a CI run: the summary of every build folder that
# .ci/suites.sh used, the notes and what failed, and one line counting every
# test file under every perl and the checks (all as build-ci-logs keeps
# them); exits non-zero if anything failed.
# Usage: .ci/report.sh
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
list() { [[ ! -f build-ci-logs/$1 ]] || cat "build-ci-logs/$1"; }
mapfile -t rounds < <(list rounds)
mapfile -t failed_rounds < <(list failed-rounds)
mapfile -t checks < <(list checks)
mapfile -t failed_checks < <(list failed-checks)

args=()
for folder in "${rounds[@]+"${rounds[@]}"}"; do args+=("$folder/modules.tsv" "$folder/results.xml"); done
echo
echo "ci: the whole run"
# The run summary is the one reader of the test reports: its closing count
# is the tests' here.
summary=$(perl tools/summary.pl data/configurations.tsv "${args[@]}")
echo "$summary"
read -r passed failed < <(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed: .*/\1 \2/p' <<< "$summary")
list notes | sed 's/^/ci: /'
[[ ${#failed_rounds[@]} == 0 ]] || echo "ci: failed in ${failed_rounds[*]}"
[[ ${#failed_checks[@]} == 0 ]] || echo "ci: failed checks: ${failed_checks[*]}"

passed=${passed:-0} failed=${failed:-0}
# A failure before any test ran (a build that broke) still counts as one.
[[ ${#failed_rounds[@]} == 0 || $failed -gt 0 ]] || failed=1
echo "ci: $((passed + ${#checks[@]} - ${#failed_checks[@]})) passed, $((failed + ${#failed_checks[@]})) failed"
[[ ${#failed_rounds[@]} == 0 && ${#failed_checks[@]} == 0 ]]

#!/usr/bin/env bash
# The closing report of a CI run: the summary of every build folder that
# .ci/suites.sh used, what failed, and one line counting every test file
# under every perl and the checks.
# Usage: .ci/report.sh CHECKS FAILED-CHECKS TIMES   (the checks as space-separated
# lists; TIMES, a line on how long the parts took)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
read -r -a checks <<< "$1"
read -r -a failed_checks <<< "$2"
mapfile -t rounds < build-ci-logs/rounds
mapfile -t failed_rounds < build-ci-logs/failed-rounds

args=()
for folder in "${rounds[@]}"; do args+=("$folder/modules.tsv" "$folder/results.xml"); done
echo
echo "ci: the whole run"
perl tools/summary.pl data/configurations.tsv "${args[@]}"
echo "ci: $3"
[[ ${#failed_rounds[@]} == 0 ]] || echo "ci: failed in ${failed_rounds[*]}"
[[ ${#failed_checks[@]} == 0 ]] || echo "ci: failed checks: ${failed_checks[*]}"

passed=0 failed=0
for folder in "${rounds[@]}"; do
  passed=$((passed + $(grep -c 'status="run"' "$folder/results.xml" 2>/dev/null || true)))
  failed=$((failed + $(grep -c 'status="fail"' "$folder/results.xml" 2>/dev/null || true)))
done
# A failure before any test ran (a build that broke) still counts as one.
[[ ${#failed_rounds[@]} == 0 || $failed -gt 0 ]] || failed=1
echo "ci: $((passed + ${#checks[@]} - ${#failed_checks[@]})) passed, $((failed + ${#failed_checks[@]})) failed"
[[ ${#failed_rounds[@]} == 0 && ${#failed_checks[@]} == 0 ]]

# shellcheck shell=bash
# What the CI steps share (sourced): a named check and a note, each kept in
# build-ci-logs for the closing report (.ci/report.sh), and the archived
# perls that .ci/perls.sh provided.
mkdir -p build-ci-logs

# Runs a named check and records whether it passed.
check() {
  local name=$1; shift
  echo "$name" >> build-ci-logs/checks
  "$@" || echo "$name" >> build-ci-logs/failed-checks
}

# A line for the closing report.
note() { echo "$*" >> build-ci-logs/notes; }

# The first archived perl of the shapes given (folder names such as 512i64mt).
archived_perl() {
  local perl shape
  for shape; do
    while read -r perl; do
      [[ $perl == */$shape/bin/perl ]] && { echo "$perl"; return; }
    done < build-ci-logs/archived-perls
  done
}

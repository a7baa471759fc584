#!/usr/bin/env bash
# Long fuzz runs, outside CI: ./run fuzz [SECONDS] [TARGET...]
# Runs each target in turn for SECONDS (default 600) with a single job, starting from the
# committed corpus in tests/fuzz/corpus/<target>; new inputs go to build/fuzz/corpus/<target>,
# findings to build/fuzz/findings/<target>/, the engine's log to build/fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
if (($#)) && [[ $1 =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in tests/fuzz/corpus/*/; do
    name=$(basename "$dir")
    [ -x "build/fuzz/tests/fuzz/${name}_fuzz" ] && targets+=("$name")
  done
fi

# Options a target needs beyond the defaults.
options_for() {
  case "$1" in
    unpack) echo "-rss_limit_mb=4096" ;;
    expand_path_template) echo "-detect_leaks=0" ;;
    *) echo "" ;;
  esac
}

# The launcher never frees its copies of environment values (the process ends soon after), so
# the spec expansion leaks by design.
sanitizer_options_for() {
  case "$1" in
    expand_path_template) echo "detect_leaks=0" ;;
    *) echo "" ;;
  esac
}

status=0
summary=()
for name in "${targets[@]}"; do
  binary="build/fuzz/tests/fuzz/${name}_fuzz"
  work="build/fuzz/corpus/$name"
  findings="build/fuzz/findings/$name"
  log="build/fuzz/logs/$name.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  echo "== fuzzing $name for $seconds s (log: $log)"
  # shellcheck disable=SC2046
  if ASAN_OPTIONS="$(sanitizer_options_for "$name")" "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
      $(options_for "$name") "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
    outcome="no finding"
  else
    outcome="FINDING (see $findings)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(find "$work" -type f | wc -l)
  summary+=("$(printf '%-16s %12s runs %6s s  cov %6s  corpus %6s  %s' "$name" "${runs:-?}" "${took:-?}" "${coverage:-?}" "$corpus" "$outcome")")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status

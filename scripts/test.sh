#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: in the
# release configuration and under AddressSanitizer + UndefinedBehaviorSanitizer,
# then runs each libFuzzer target of the decoders for a bounded time. The
# release tests include installing into a temporary prefix and building the
# Debian package with scripts/package.sh.
# Ends with one line of combined counts.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

passed=0
failed=0
status=0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for config in release asan; do
  echo "== $config build"
  if ! scripts/build.sh "$config"; then
    echo "$config build failed"
    status=1
    failed=$((failed + 1))
    continue
  fi
  echo "== $config tests"
  log=$(mktemp)
  ctest --test-dir "build/$config" -j"$(nproc)" --output-on-failure --timeout 600 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ -z "$summary" ]]; then
    status=1
    failed=$((failed + 1))
    continue
  fi
  nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.*failed out of ([0-9]+).*/\1/' <<<"$summary")
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
done

echo "== fuzzing the decoders"
fuzzlog=$(mktemp)
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh 2>&1 | tee "$fuzzlog"
[[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
fuzz_ok=$(grep -cE '^fuzz [a-z_]+: ok' "$fuzzlog")
fuzz_failed=$(grep -cE '^fuzz [a-z_]+: FAILED' "$fuzzlog")
rm -f "$fuzzlog"
passed=$((passed + fuzz_ok))
failed=$((failed + fuzz_failed))
[[ $((fuzz_ok + fuzz_failed)) -eq 7 ]] || { status=1; failed=$((failed + 1)); }

echo "$passed passed, $failed failed"
exit $status

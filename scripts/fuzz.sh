#!/usr/bin/env bash
# Builds the libFuzzer targets of the decoders of untrusted bytes (shard
# headers, the package documents and the hub's response headers) with clang and runs
# each for a bounded time (FUZZ_SECONDS, default 20) from its seed corpus.
# New inputs go to a scratch directory, never into the repository. Prints one
# "fuzz <target>: ok|FAILED" line per target; exits non-zero on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQUOR_FUZZ=ON \
  >/dev/null || exit 1
cmake --build build/fuzz | grep -vE '^(\[[0-9]+/[0-9]+\] |ninja: no work to do)' || true
[[ ${PIPESTATUS[0]} -eq 0 ]] || exit 1

status=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in safetensors resident_index manifest packed_layout vision remote_headers retry_after; do
  mkdir -p "$scratch/$target"
  cp fuzz/corpus/$target/* "$scratch/$target/"
  if (cd "$scratch" && "$OLDPWD/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 "$target" >"$target.log" 2>&1); then
    echo "fuzz $target: ok ($(grep -oE 'Done [0-9]+ runs' "$scratch/$target.log" | grep -oE '[0-9]+') runs)"
  else
    echo "fuzz $target: FAILED"
    tail -n 40 "$scratch/$target.log"
    status=1
  fi
done
exit $status

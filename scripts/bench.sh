#!/usr/bin/env bash
# Builds the release configuration (benchmarks included) and runs the
# benchmarks: file hashing and whole-package verification, each against
# openssl dgst on the same files in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
build/release/bench/hash_bench
echo
build/release/bench/verify_bench
echo
build/release/bench/format_bench

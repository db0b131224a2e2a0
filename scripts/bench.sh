#!/usr/bin/env bash
# Builds the release configuration with the benchmarks and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
build/release/bench/hash_bench "$@"

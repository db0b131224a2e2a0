#!/usr/bin/env bash
# Builds the release configuration (benchmarks included) and runs the
# benchmarks: file hashing and whole-package verification, each against
# openssl dgst on the same files in the same run; the decoders; and a whole
# install of the 22.5 GB brask stand-in from the loopback test hub against
# curl + openssl dgst, and against aria2c + openssl dgst with every
# connection capped at 40 MB/s (INSTALL_BENCH_GIB=G runs it at about G GiB
# instead; it is skipped when the disk lacks room).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --bench
scripts/build.sh release
build/release/bench/hash_bench
echo
build/release/bench/verify_bench
echo
build/release/bench/format_bench
echo
bench/install_bench.sh ${INSTALL_BENCH_GIB:+--gib "$INSTALL_BENCH_GIB"}

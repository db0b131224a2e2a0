#!/usr/bin/env bash
# Configures and builds one configuration: build.sh <release|asan>.
set -euo pipefail
cd "$(dirname "$0")/.."

config=${1:-release}
case "$config" in
  release) args=(-DCMAKE_BUILD_TYPE=Release -DVELQUOR_BENCH=ON) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZE=ON) ;;
  *) echo "usage: build.sh <release|asan>" >&2; exit 2 ;;
esac

cmake -S . -B "build/$config" -G Ninja "${args[@]}" "${@:2}" >/dev/null
cmake --build "build/$config" -- -j"$(nproc)" | grep -vE '^\[[0-9]+/[0-9]+\] ' || true
test "${PIPESTATUS[0]}" -eq 0

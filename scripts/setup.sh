#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and scripts/package.sh
# need (man and groff render the manual page, dpkg-shlibdeps derives the
# package's dependencies; with --bench, also the programs the benchmarks
# compare against). Idempotent and silent when everything is present; runs
# as root without standard input.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libcurl4-openssl-dev libssl-dev openssl nlohmann-json3-dev libicu-dev uuid-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  man-db groff-base dpkg-dev
)
if [[ ${1:-} == --bench ]]; then packages+=(curl aria2); fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >/dev/null
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null

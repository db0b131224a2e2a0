#!/usr/bin/env bash
# Builds the Debian package of the release build with CPack:
#
#   scripts/package.sh [BUILD_DIR [DIST_DIR]]   (default build/release and dist)
#
# writes DIST_DIR/velquor-repack_<version>_<architecture>.deb, which installs
# VelquorRepack, velquor-plan, the manual page and the bash completion under
# /usr and depends on the libraries they link, and prints its path. The
# default build directory is configured and built first when it is not yet;
# an existing build is brought up to date, not rebuilt.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
dist=${2:-dist}
if [[ ! -f $build/CPackConfig.cmake ]]; then
  if [[ $build != build/release ]]; then
    echo "package.sh: $build is not a configured build directory" >&2
    exit 2
  fi
  scripts/setup.sh
  scripts/build.sh release
fi
cmake --build "$build" --target VelquorRepack velquor-plan | grep -vE '^\[[0-9]+/[0-9]+\] |^ninja: no work' || true
[[ ${PIPESTATUS[0]} -eq 0 ]]

mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
log=$(mktemp)
trap 'rm -f "$log"; rm -rf "$dist/_CPack_Packages"' EXIT
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$dist" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
version=$(sed -nE 's/^set\(CPACK_PACKAGE_VERSION "([^"]*)"\)$/\1/p' "$build/CPackConfig.cmake")
deb=$dist/velquor-repack_${version}_$(dpkg --print-architecture).deb
if [[ ! -f $deb ]]; then
  cat "$log" >&2
  echo "package.sh: cpack did not write $deb" >&2
  exit 1
fi
echo "$deb"

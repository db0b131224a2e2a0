#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the
# main job. Until the installer can stream from a hub, the job writes a
# synthetic package and verifies it end to end with --verify-install.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh release

bin=build/release/VelquorRepack
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin" --help
echo
echo "\$ make_package_fixture $work/demo.korvex"
build/release/make_package_fixture "$work/demo.korvex"
echo "\$ VelquorRepack --verify-install --input-korvex $work/demo.korvex"
"$bin" --verify-install --input-korvex "$work/demo.korvex"

#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the
# main job. Until the installer can reach a hub it shows the usage and a
# verification run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh release

bin=build/release/VelquorRepack
"$bin" --help
echo
echo "\$ VelquorRepack --verify-install --input-korvex /nonexistent.korvex"
"$bin" --verify-install --input-korvex /nonexistent.korvex || echo "(exit status $?)"

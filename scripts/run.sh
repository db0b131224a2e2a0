#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the
# main job offline: the loopback test hub serves the varnel15 stand-in
# checkpoint (pinned in the catalogue), VelquorRepack installs it exactly as
# it would from the real hub (HF_ENDPOINT and SSL_CERT_FILE point it at the
# test hub), then --verify-install re-checks the package. A second install
# of the same stand-in then comes from a hub cache prepared beside it, with
# HF_HUB_OFFLINE set and the hub stopped: no network at all, and the same
# package. Everything it creates is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh release

bin=build/release/cli/VelquorRepack
tools=build/release/tools
work=$(mktemp -d)
hub_pid=
cleanup() {
  if [[ -n "$hub_pid" ]]; then
    kill -TERM "$hub_pid" 2>/dev/null || true
    wait "$hub_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

model=varnel15
read -r repo revision < <("$tools/velquor-make-checkpoint" --print-source "$model")
"$tools/velquor-make-checkpoint" --stand-in "$model" "$work/checkpoint" >/dev/null

mkfifo "$work/hub.out"
"$tools/velquor-test-hub" --dir "$work/checkpoint" --repo "$repo" --revision "$revision" \
  >"$work/hub.out" &
hub_pid=$!
read -r ready <"$work/hub.out"
base_url=$(sed -E 's/.*"base_url": *"([^"]+)".*/\1/' <<<"$ready")
ca=$(sed -E 's/.*"ca": *"([^"]+)".*/\1/' <<<"$ready")
echo "test hub at $base_url serving $repo@$revision"
echo

export HF_ENDPOINT="$base_url" SSL_CERT_FILE="$ca" no_proxy=localhost,127.0.0.1 NO_PROXY=localhost,127.0.0.1
echo "\$ VelquorRepack --model $model --output $work/$model.korvex"
"$bin" --model "$model" --output "$work/$model.korvex"
echo
echo "\$ VelquorRepack --verify-install --input-korvex $work/$model.korvex"
"$bin" --verify-install --input-korvex "$work/$model.korvex"
echo

# The same model again, from what the hub's own tools would have cached,
# without the network: the test hub is stopped first.
kill -TERM "$hub_pid" && wait "$hub_pid" 2>/dev/null || true
hub_pid=
"$tools/velquor-make-checkpoint" --stand-in "$model" --hub-cache "$work/hf-cache"
echo "\$ HF_HUB_CACHE=$work/hf-cache HF_HUB_OFFLINE=1 VelquorRepack --model $model --output $work/$model-offline.korvex"
HF_HUB_CACHE="$work/hf-cache" HF_HUB_OFFLINE=1 \
  "$bin" --model "$model" --output "$work/$model-offline.korvex"
cmp "$work/$model.korvex/manifest.json" "$work/$model-offline.korvex/manifest.json"
echo "the offline package's manifest is byte-identical to the hub install's"

#!/usr/bin/env bash
# Install benchmark: the brask stand-in (about 22.5 GB, generated on demand by
# velquor-test-hub on loopback) installed by the engine with 8 connections,
# against what a user would otherwise run on the same bytes, in three rounds:
# uncapped, curl downloading the shards one after another; with every
# connection capped at 40 MB/s, aria2c -x16 -s16 -k1M; and from the hub
# cache, cp of the shards. Each baseline ends with openssl dgst -sha256 over
# the shards. Prints both wall times and
# their ratio, the connections and requests the hub saw for each, the
# install's phases, its peak resident memory and the most disk it used
# beyond the final package.
#
#   bench/install_bench.sh [--gib G] [--work DIR] [--rounds LIST]
#
# LIST is a comma-separated subset of uncapped,capped,local (default: all).
#
# --gib G serves the same geometry with fewer layers (about G GiB of source
# bytes), which the catalogue does not know; install_bench admits it by its
# index digest, so quick runs exercise the same code. DIR (default: a new
# directory under TMPDIR) must hold the source bytes once: the baseline's
# files are deleted before the install starts, so the two never share the
# disk. Expects a release build with benchmarks (scripts/build.sh release).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/test-hub.sh

gib=""
work_parent=${TMPDIR:-/tmp}
rounds=uncapped,capped,local
while (($#)); do
  case "$1" in
    --gib) gib=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: bench/install_bench.sh [--gib G] [--work DIR] [--rounds LIST]" >&2; exit 2 ;;
  esac
done

build=build/release
cmake --build "$build" --target install_bench velquor-test-hub >/dev/null
bench=$PWD/$build/bench/install_bench
hub_bin=$PWD/$build/tools/velquor-test-hub

size_args=()
[[ -n $gib ]] && size_args=(--gib "$gib")
eval "$("$bench" --describe "${size_args[@]}")"  # layers, repo, revision, source_bytes, shards

mkdir -p "$work_parent"
available=$(df --output=avail -B1 "$work_parent" | tail -1)
# The package is about the source's size; the install keeps one range file
# and the catalogue's 1 GiB reserve free on top.
needed=$((source_bytes + 2 * 1024 * 1024 * 1024))
if ((available < needed)); then
  echo "install bench skipped: $work_parent has $((available / 1000000000)) GB free," \
    "needs $((needed / 1000000000)) GB"
  exit 0
fi

work=$(mktemp -d "$work_parent/velquor-install-bench-XXXXXX")
hub_pid=""
cleanup() {
  stop_test_hub
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
# Empties the page cache (root only), so that a copy reads its source from
# the disk as it would after a reboot, whichever side ran first.
cold_cache() {
  sync
  if echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then cache_state="cold page cache"; else
    cache_state="page cache as it was (not root)"
  fi
}
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# The hub's counts so far: "<connections> <requests>" of both hosts together.
hub_counts() {
  curl --silent --show-error --fail --noproxy '*' --cacert "$ca" \
    "$base_url/_velquor-test-hub/stats" |
    sed 's/[^0-9]\+/ /g' | awk '{ print $1 + $3, $2 + $4 }'
}
# "N connections, M requests" between two hub_counts answers.
counted() {
  local a=($1) b=($2)
  echo "$((b[0] - a[0])) connections, $((b[1] - a[1])) requests"
}

echo "source: brask stand-in, $layers layers, $source_bytes bytes in $(wc -w <<<"$shards") shards"
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)" \
  "RAM, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# One round: the hub started with the given options, the baseline (curl one
# shard after another, or aria2c with 16 connections per shard), then
# openssl dgst over the shards, then the install with 8 connections.
wanted() { [[ ,$rounds, == *,$1,* ]]; }

round() {
  local title=$1 baseline_kind=$2 aim=$3
  shift 3
  echo
  echo "== $title"
  start_test_hub "$hub_bin" "$work" --stand-in brask --layers "$layers" "$@" || exit 1
  mkdir "$work/baseline"
  local c0 c1 c2 t0 t1 t2
  c0=$(hub_counts)
  t0=$(now)
  if [[ $baseline_kind == curl ]]; then
    for shard in $shards; do
      curl --silent --show-error --fail --location --noproxy '*' --cacert "$ca" \
        --output "$work/baseline/$shard" "$base_url/$repo/resolve/$revision/$shard"
    done
  else
    for shard in $shards; do
      printf '%s\n  out=%s\n' "$base_url/$repo/resolve/$revision/$shard" "$shard"
    done >"$work/urls"
    aria2c -x16 -s16 -k1M --no-conf --quiet=true --ca-certificate="$ca" --all-proxy='' \
      --dir="$work/baseline" --input-file="$work/urls" --allow-overwrite=true
  fi
  t1=$(now)
  (cd "$work/baseline" && openssl dgst -sha256 $shards >/dev/null)
  t2=$(now)
  c1=$(hub_counts)
  rm -rf "$work/baseline"
  local baseline
  baseline=$(elapsed "$t0" "$t2")
  echo "baseline wall time: $baseline s ($baseline_kind $(elapsed "$t0" "$t1") s," \
    "openssl dgst $(elapsed "$t1" "$t2") s; $(counted "$c0" "$c1"))"

  "$bench" --hub "$base_url" --ca "$ca" --output "$work/brask.korvex" --layers "$layers" \
    --connections 8 | tee "$work/install.txt" | grep -v '^install_wall_seconds='
  c2=$(hub_counts)
  echo "install: $(counted "$c1" "$c2")"
  local install
  install=$(sed -n 's/^install_wall_seconds=//p' "$work/install.txt")
  awk -v i="$install" -v b="$baseline" -v aim="$aim" \
    'BEGIN { printf "install / baseline: %.3f (aim: at most %s)\n", i / b, aim }'
  rm -rf "$work/brask.korvex"
  stop_test_hub
}

wanted uncapped && round "loopback, uncapped: install against curl + openssl dgst" curl 1.10
# 40 MB/s per response, that is per connection: a storage edge that caps
# each connection, where several connections are what makes a download fast.
wanted capped && round "40 MB/s per connection: install against aria2c -x16 -s16 -k1M + openssl dgst" aria2c 1.0 \
  --throughput 40000000

# A third round: the checkpoint already in the hub cache, as the hub's own
# tools leave it (blobs named by their SHA-256 or git SHA-1, relative links
# from the snapshot), installed offline, against cp of the same shards plus
# openssl dgst over the copies. Both read and write the same bytes; the
# install checks each shard against its blob name as it reads it.
local_round() {
  echo
  echo "== from the hub cache: install offline against cp + openssl dgst"
  start_test_hub "$hub_bin" "$work" --stand-in brask --layers "$layers" || exit 1
  local cache=$work/hub-cache
  local folder=$cache/models--${repo//\//--}
  mkdir -p "$folder/blobs" "$folder/snapshots/$revision" "$folder/refs"
  printf '%s' "$revision" >"$folder/refs/main"
  local name blob
  for name in $shards model.safetensors.index.json config.json tokenizer.json \
    tokenizer_config.json special_tokens_map.json chat_template.jinja chat_template.json; do
    curl --silent --fail --location --noproxy '*' --cacert "$ca" \
      --output "$folder/blobs/download.incomplete" "$base_url/$repo/resolve/$revision/$name" ||
      continue
    if [[ " $shards " == *" $name "* ]]; then
      blob=$(openssl dgst -sha256 -r "$folder/blobs/download.incomplete" | cut -d' ' -f1)
    else
      blob=$(git hash-object --no-filters "$folder/blobs/download.incomplete")
    fi
    mv "$folder/blobs/download.incomplete" "$folder/blobs/$blob"
    ln -s "../../blobs/$blob" "$folder/snapshots/$revision/$name"
  done
  rm -f "$folder/blobs/download.incomplete"
  stop_test_hub
  # Two pairs, the second in the other order: on a shared or virtual
  # machine the disk and the host's memory drift from minute to minute, and
  # whichever side runs first can find them otherwise.
  local pair baselines=() installs=() install
  for pair in 1 2; do
    if ((pair == 1)); then
      local_baseline "$folder" && baselines+=("$baseline")
      local_install "$cache" && installs+=("$install")
    else
      local_install "$cache" && installs+=("$install")
      local_baseline "$folder" && baselines+=("$baseline")
    fi
    awk -v i="$install" -v b="$baseline" -v p="$pair" \
      'BEGIN { printf "pair %d: install %.2f s, baseline %.2f s, install / baseline %.3f\n", p, i, b, i / b }'
  done
  awk -v i="${installs[0]} ${installs[1]}" -v b="${baselines[0]} ${baselines[1]}" 'BEGIN {
    split(i, is, " "); split(b, bs, " ")
    printf "install / baseline over both pairs: %.3f (aim: at most 1.0)\n", (is[1] + is[2]) / (bs[1] + bs[2])
  }'
  rm -rf "$cache"
}

# Sets `baseline` to the wall time of cp of the shards out of the cache
# folder $1, openssl dgst over the copies and sync, from a cold page cache.
local_baseline() {
  local folder=$1 t0 t1 name
  cold_cache
  t0=$(now)
  mkdir "$work/copy"
  for name in $shards; do cp "$folder/snapshots/$revision/$name" "$work/copy/$name"; done
  (cd "$work/copy" && openssl dgst -sha256 $shards >/dev/null)
  sync
  t1=$(now)
  rm -rf "$work/copy"
  baseline=$(elapsed "$t0" "$t1")
  echo "baseline wall time: $baseline s (cp + openssl dgst + sync; $cache_state)"
}

# Sets `install` to the wall time of an offline install from the hub cache
# $1, from a cold page cache; prints the install's report.
local_install() {
  cold_cache
  echo "install from the $cache_state:"
  "$bench" --hub "https://127.0.0.1:9" --ca "$ca" --output "$work/brask.korvex" --layers "$layers" \
    --hub-cache "$1" | tee "$work/install.txt" | grep -v '^install_wall_seconds='
  install=$(sed -n 's/^install_wall_seconds=//p' "$work/install.txt")
  rm -rf "$work/brask.korvex"
}

wanted local && local_round

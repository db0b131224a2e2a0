#!/usr/bin/env bash
# Install benchmark: the brask stand-in (about 22.5 GB, generated on demand by
# velquor-test-hub on loopback) installed by the engine, against what a user
# would otherwise run on the same bytes: curl downloading the shards to disk,
# then openssl dgst -sha256 over them. Prints both wall times and their ratio,
# the install's phases, its peak resident memory and the most disk it used
# beyond the final package.
#
#   bench/install_bench.sh [--gib G] [--work DIR]
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
while (($#)); do
  case "$1" in
    --gib) gib=$2; shift 2 ;;
    --work) work_parent=$2; shift 2 ;;
    *) echo "usage: bench/install_bench.sh [--gib G] [--work DIR]" >&2; exit 2 ;;
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

start_test_hub "$hub_bin" "$work" --stand-in brask --layers "$layers" || exit 1

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

echo "source: brask stand-in, $layers layers, $source_bytes bytes in $(wc -w <<<"$shards") shards"
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)" \
  "RAM, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Baseline: the shards to disk, one after another, then their SHA-256.
mkdir "$work/curl"
t0=$(now)
for shard in $shards; do
  curl --silent --show-error --fail --location --noproxy '*' --cacert "$ca" \
    --output "$work/curl/$shard" "$base_url/$repo/resolve/$revision/$shard"
done
t1=$(now)
(cd "$work/curl" && openssl dgst -sha256 $shards >/dev/null)
t2=$(now)
rm -rf "$work/curl"
baseline=$(elapsed "$t0" "$t2")
echo "baseline wall time: $baseline s (curl $(elapsed "$t0" "$t1") s, openssl dgst $(elapsed "$t1" "$t2") s)"

"$bench" --hub "$base_url" --ca "$ca" --output "$work/brask.korvex" --layers "$layers" |
  tee "$work/install.txt" | grep -v '^install_wall_seconds='
install=$(sed -n 's/^install_wall_seconds=//p' "$work/install.txt")
awk -v i="$install" -v b="$baseline" \
  'BEGIN { printf "install / baseline: %.3f (aim: at most 1.15)\n", i / b }'

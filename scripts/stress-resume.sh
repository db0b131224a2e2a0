#!/usr/bin/env bash
# Kill-and-resume stress test of the installer, outside the test suite.
#
#   scripts/stress-resume.sh [ROUNDS]     (default 20)
#
# Serves the varnel15 stand-in from velquor-test-hub on loopback, throttled so
# that one install takes a few seconds, and makes one uninterrupted reference
# install. Each round then starts an install, kills it (SIGKILL) after a random
# delay, does that again a random number of times (each restart resumes when a
# checkpoint was saved), finally lets an install finish (--resume when a
# checkpoint exists, a new install otherwise) and compares the package with the
# reference: every file byte for byte, the receipt without its timestamp and
# directory lines. One line per round, then "N/N rounds identical"; the exit
# status is 1 when any round differs. The hub, any installer still running and
# every temporary directory are removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/test-hub.sh

rounds=${1:-20}
if ! [[ $rounds =~ ^[0-9]+$ ]] || ((rounds < 1)); then
  echo "usage: scripts/stress-resume.sh [ROUNDS]" >&2
  exit 2
fi
# Bytes per second of every hub response: the stand-in's three ranges of about
# 2 MiB take a little over a second each.
throughput=${STRESS_THROUGHPUT:-2000000}

if [[ ! -f build/release/build.ninja ]]; then
  scripts/build.sh release
fi
cmake --build build/release --target VelquorRepack velquor-test-hub >/dev/null
bin=$PWD/build/release/cli/VelquorRepack
hub_bin=$PWD/build/release/tools/velquor-test-hub

work=$(mktemp -d "${TMPDIR:-/tmp}/velquor-stress-XXXXXX")
hub_pid=""
installer_pid=""
cleanup() {
  if [[ -n $installer_pid ]]; then
    kill -9 "$installer_pid" 2>/dev/null || true
    wait "$installer_pid" 2>/dev/null || true
  fi
  stop_test_hub
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_test_hub "$hub_bin" "$work" --stand-in varnel15 --throughput "$throughput" || exit 1
export HF_ENDPOINT=$base_url SSL_CERT_FILE=$ca no_proxy=localhost,127.0.0.1 NO_PROXY=localhost,127.0.0.1
unset HF_TOKEN

install() {  # install OUTPUT [FLAGS...]
  local out=$1
  shift
  "$bin" --model varnel15 --output "$out" "$@"
}

# The receipt records when and where it was written; everything else must match.
receipt_body() {
  grep -v -e '"verificationTimestamp"' -e '"modelDirectoryPath"' "$1/verified-install.json"
}
same_package() {  # same_package A B
  diff -r -q --exclude=verified-install.json "$1" "$2" >/dev/null &&
    cmp -s <(receipt_body "$1") <(receipt_body "$2")
}

started=$(date +%s.%N)
reference=$work/reference.korvex
install "$reference" >/dev/null
reference_seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
printf 'reference install: %.2f s at %s bytes/s\n' "$reference_seconds" "$throughput"
# Kill moments are drawn from the first nine tenths of an install's duration.
window_ms=$(awk -v s="$reference_seconds" 'BEGIN { printf "%d", s * 900 }')

identical=0
for round in $(seq 1 "$rounds"); do
  out=$work/round-$round/m.korvex
  mkdir -p "$(dirname "$out")"
  kills=$((RANDOM % 3 + 1))
  attempts=""
  for _ in $(seq 1 "$kills"); do
    flags=()
    [[ -f $out.resume.json ]] && flags=(--resume)
    [[ -d $out ]] && break  # finished before it could be killed
    delay_ms=$(((RANDOM * 32768 + RANDOM) % window_ms))
    # The installer itself, not a subshell, so that the kill reaches it.
    "$bin" --model varnel15 --output "$out" "${flags[@]}" >/dev/null 2>"$work/last.err" &
    installer_pid=$!
    moment=$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))
    sleep "$moment"
    kill -9 "$installer_pid" 2>/dev/null || true
    status=0
    wait "$installer_pid" 2>/dev/null || status=$?
    installer_pid=""
    case $status in
      137) attempts+="killed at ${moment}s, " ;;
      0) attempts+="finished before ${moment}s, " ;;
      *) attempts+="failed before ${moment}s ($(tr -d '\n' <"$work/last.err")), " ;;
    esac
  done

  if [[ -d $out ]]; then
    finish="already finished"
  elif [[ -f $out.resume.json ]]; then
    finish="resumed"
    install "$out" --resume >/dev/null 2>"$work/last.err" || finish="resume FAILED: $(cat "$work/last.err")"
  else
    finish="installed anew"
    install "$out" >/dev/null 2>"$work/last.err" || finish="install FAILED: $(cat "$work/last.err")"
  fi

  verdict="DIFFERENT"
  if [[ -d $out ]] && same_package "$reference" "$out" &&
    [[ ! -e $out.partial && ! -e $out.resume.json ]]; then
    verdict="identical"
    identical=$((identical + 1))
  fi
  echo "round $round: ${attempts}$finish; $verdict"
  [[ $verdict == identical ]] && rm -rf "$work/round-$round"
done

echo "$identical/$rounds rounds identical"
((identical == rounds))

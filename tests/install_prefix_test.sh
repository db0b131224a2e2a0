#!/usr/bin/env bash
# `cmake --install` into a temporary prefix installs exactly the two
# executables, the manual page and the bash completion; the installed
# programs run from there, and the completion is valid bash that completes
# options, model names, connection counts and paths.
#
#   install_prefix_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1
version=$2
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log" >&2; exit 1; }

expected='bin/VelquorRepack
bin/velquor-plan
share/bash-completion/completions/VelquorRepack
share/man/man1/VelquorRepack.1'
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[[ $installed == "$expected" ]] || fail "installed files:"$'\n'"$installed"

cd "$tmp" || exit 1  # nothing of the build tree is at hand
out=$("$prefix/bin/VelquorRepack" --version) || fail "--version exited with $?"
[[ $out == "VelquorRepack $version" ]] || fail "--version printed \"$out\""
help=$("$prefix/bin/VelquorRepack" --help) || fail "--help exited with $?"
[[ $help == Usage:* ]] || fail "--help printed: $help"
"$prefix/bin/velquor-plan" >/dev/null 2>&1
plan_status=$?
((plan_status != 126 && plan_status != 127)) || fail "velquor-plan does not run ($plan_status)"

completion=$prefix/share/bash-completion/completions/VelquorRepack
bash -n "$completion" || fail "the completion is not valid bash"
words() { LC_ALL=C sort -u | paste -sd ' '; }  # a sorted line of words
models=$(grep -m1 -oE -- '--model <[^>]*>' <<<"$help" | sed -E 's/--model <(.*)>/\1/' | tr '|' '\n')
options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | words)
mkdir -p "$tmp/packages/qwen36.korvex"
# complete_words WORD...: what the completion offers for the last word.
results=$(
  cd "$tmp/packages" || exit 1
  # shellcheck source=/dev/null
  source "$completion" || exit 1
  complete -p VelquorRepack || exit 1
  complete_words() {
    COMP_WORDS=(VelquorRepack "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _VelquorRepack
    printf '%s\n' "${COMPREPLY[@]}" | words
  }
  complete_words --
  complete_words --model ''
  complete_words --output x --source ''
  complete_words --connections 6
  complete_words --input-korvex q
  complete_words --output qwen36.korvex --text-model q
) 2>&1 || fail "sourcing the completion: $results"
{
  read -r registered
  read -r offered_options
  read -r offered_models
  read -r offered_sources
  read -r offered_counts
  read -r offered_packages
  read -r offered_text_models
} <<<"$results"
[[ $registered == "complete "*"-F _VelquorRepack VelquorRepack" ]] ||
  fail "complete -p VelquorRepack: $registered"
[[ $offered_options == "$options" ]] ||
  fail "options offered: $offered_options; --help has: $options"
[[ $offered_models == "$(words <<<"$models")" ]] ||
  fail "models offered: $offered_models; --help has: $(words <<<"$models")"
[[ $offered_sources == "$(printf '%s\nqwen36.korvex\n' "$models" | words)" ]] ||
  fail "--source offered: $offered_sources"
[[ $offered_counts == "6 60 61 62 63 64" ]] || fail "--connections offered: $offered_counts"
[[ $offered_packages == qwen36.korvex ]] || fail "--input-korvex offered: $offered_packages"
[[ $offered_text_models == qwen36.korvex ]] || fail "--text-model offered: $offered_text_models"

exit $status

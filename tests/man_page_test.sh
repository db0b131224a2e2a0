#!/usr/bin/env bash
# The manual page renders without a warning and is in step with --help:
# every usage line is a line of its SYNOPSIS, every option of the usage text
# has its own entry under OPTIONS, every variable the usage text names is
# under ENVIRONMENT, and its title carries the version --version prints.
#
#   man_page_test.sh VELQUORREPACK_BINARY MAN_PAGE
set -uo pipefail
bin=$1
page=$2
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff -man -ww warns: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MAN_DISABLE_SECCOMP=1 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man -l warns: $warnings"

# One output line per input paragraph: nothing wraps or hyphenates.
rendered=$(groff -man -Tascii -rLL=4000n -P-cbou "$page") || fail "groff failed"
section() {  # section NAME: the lines between the heading NAME and the next one
  awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name); next } inside' <<<"$rendered"
}
synopsis=$(section SYNOPSIS | sed -E 's/^ +//')
options=$(section OPTIONS)
environment=$(section ENVIRONMENT)

help=$("$bin" --help) || fail "--help exited with $?"
while IFS= read -r line; do
  grep -qxF -- "${line#  }" <<<"$synopsis" || fail "usage line not in SYNOPSIS: ${line#  }"
done < <(grep '^  VelquorRepack ' <<<"$help")
[[ $(grep -c . <<<"$synopsis") -eq $(grep -c '^  VelquorRepack ' <<<"$help") ]] ||
  fail "SYNOPSIS has lines that --help does not: $synopsis"

for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
  grep -qE -- "^ +$option( |\$)" <<<"$options" || fail "no OPTIONS entry for $option"
done
for variable in $(grep -oE '\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b' <<<"$help" | sort -u); do
  grep -qE -- "^ +(.*, )?$variable(,|\$)" <<<"$environment" ||
    fail "no ENVIRONMENT entry for $variable"
done

version=$("$bin" --version) || fail "--version exited with $?"
grep -qE "^\.TH .*\"$version\"" "$page" || fail "the title does not carry \"$version\""

exit $status

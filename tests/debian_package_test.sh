#!/usr/bin/env bash
# scripts/package.sh builds velquor-repack_<version>_<arch>.deb from the build
# directory: it holds exactly the two executables, the manual page and the
# bash completion under /usr, declares the libraries they link as Depends,
# and its VelquorRepack runs.
#
#   debian_package_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1
version=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
deb=$(bash "$root/scripts/package.sh" "$build" "$tmp/dist") || exit 1
expected_deb=$tmp/dist/velquor-repack_${version}_$(dpkg --print-architecture).deb
[[ $deb == "$expected_deb" && -f $deb ]] || fail "package.sh wrote \"$deb\", not $expected_deb"
[[ $(ls "$tmp/dist") == "${expected_deb##*/}" ]] || fail "dist holds: $(ls "$tmp/dist")"

files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort)
[[ $files == './usr/bin/VelquorRepack
./usr/bin/velquor-plan
./usr/share/bash-completion/completions/VelquorRepack
./usr/share/man/man1/VelquorRepack.1' ]] || fail "package files:"$'\n'"$files"

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == velquor-repack ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] ||
  fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for library in libc6 'libstdc\+\+6' libcurl4 libssl3 'libicu[0-9]+' libuuid1; do
  grep -qE "(^|, )$library( |,|\$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg-deb --extract "$deb" "$tmp/root" || fail "dpkg-deb --extract failed"
out=$("$tmp/root/usr/bin/VelquorRepack" --version) || fail "the packaged --version exited with $?"
[[ $out == "VelquorRepack $version" ]] || fail "the packaged --version printed \"$out\""

exit $status

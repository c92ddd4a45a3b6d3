#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI's packages stage while a mirror is in the middle of a sync: with an extra apt source whose
# index has another size than its Release names (a file: source made here, removed at the end),
# apt-get update fails that list every time; the stage must say so in one line, install what the
# run needs (mandoc, taken away first, among it) and go on.
#   tests/apt/mirror-mid-sync.sh
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
top=$(cd "$here/../.." && pwd)
[ "$(id -u)" -eq 0 ] || fail "needs root, to add an apt source and install packages"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
arch=$(dpkg --print-architecture)
suite=$codename-mid-sync
repo=$scratch/repo
mkdir -p "$repo/dists/$suite/main/binary-$arch"
index=$repo/dists/$suite/main/binary-$arch/Packages
printf 'Package: teruna-mid-sync\nVersion: 1\nArchitecture: all\nDescription: test\n' >"$index"
size=$(stat -c %s "$index")
# The Release names the index as the mirror will have it once the sync is done.
cat >"$repo/dists/$suite/Release" <<RELEASE
Origin: Debian
Suite: $suite
Codename: $suite
Architectures: $arch
Components: main
Date: $(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S UTC')
SHA256:
 $(sha256sum "$index" | cut -d' ' -f1) $((size + 100)) main/binary-$arch/Packages
RELEASE
chmod -R a+rX "$scratch"
source_file=/etc/apt/sources.list.d/teruna-mid-sync.list
echo "deb [trusted=yes] file:$repo $suite main" >"$source_file"
at_exit "rm -f $source_file"

status=0
apt-get update -q >"$scratch/update.log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "apt-get update took the corrupt index: $(tail -n 3 "$scratch/update.log")"
grep -q 'teruna-mid-sync\|mid-sync' "$scratch/update.log" || fail "apt-get update failed for another reason"

dpkg-query -W -f='${Status}' mandoc 2>/dev/null | grep -q 'install ok installed' && apt-get remove -y -q mandoc >/dev/null
TERUNA_APT_RETRY_PAUSE=1 "$top/.ci/run" packages 2>&1 | tee "$scratch/packages.log" ||
    fail "the packages stage stopped with the corrupt index"
grep -q '^apt-get update failed 3 times; going on with the lists it has: .*mid-sync' "$scratch/packages.log" ||
    fail "the packages stage did not say in one line which list failed"
command -v mandoc >/dev/null || fail "the packages stage did not install mandoc again"
echo "mirror mid-sync: apt-get update failed on the corrupt index, and the packages stage installed what it needs"

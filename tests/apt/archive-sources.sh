#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The private apt's archive is the one the machine's sources name, in the one-line and the
# deb822 format alike, its Debian entries only; with none, it says so and where to look. The
# sources here name folders of the test's own, never an archive.
#   tests/apt/archive-sources.sh
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
# shellcheck source=cmake/debian-apt.sh
. "$here/../../cmake/debian-apt.sh"
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || fail "/etc/os-release names no codename"

# entries_of FILE EXPECTED: the private apt made from FILE has EXPECTED as its sources.list.
entries_of() {
    local got
    rm -rf "$scratch/apt"
    TERUNA_APT_SOURCES=$1 debian_apt_init "$scratch/apt" arm64 deb-src 2>"$scratch/err" ||
        fail "$(basename "$1") gives no private apt: $(cat "$scratch/err")"
    got=$(cat "$scratch/apt/sources.list")
    [ "$got" = "$2" ] || fail "$(basename "$1") gives:
$got
rather than:
$2"
}
key='[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]'

cat >"$scratch/one-line.list" <<LIST
# a comment, and a source of another project's
deb file:$scratch/mirror $codename main contrib
deb-src [arch=amd64] file:$scratch/mirror $codename-updates main
deb file:$scratch/other nodistro main
LIST
entries_of "$scratch/one-line.list" "deb-src $key file:$scratch/mirror/ $codename contrib
deb-src $key file:$scratch/mirror/ $codename main
deb-src $key file:$scratch/mirror/ $codename-updates main"

cat >"$scratch/cache.sources" <<SOURCES
Types: deb
URIs: file:$scratch/cache
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: file:$scratch/cache-security
Suites: $codename-security
Components: main
Enabled: no

Types: deb
URIs: file:$scratch/other
Suites: nodistro
Components: main
SOURCES
entries_of "$scratch/cache.sources" "deb-src $key file:$scratch/cache/ $codename main
deb-src $key file:$scratch/cache/ $codename-updates main"

echo "deb file:$scratch/other nodistro main" >"$scratch/none.list"
if TERUNA_APT_SOURCES=$scratch/none.list debian_apt_init "$scratch/none" arm64 deb 2>"$scratch/err"; then
    fail "sources without a Debian archive gave a private apt"
fi
grep -q "name no Debian archive.*TERUNA_APT_SOURCES" "$scratch/err" || fail "without a Debian archive it said: $(cat "$scratch/err")"
echo "archive sources: one-line and deb822 read, other archives left out, none said"

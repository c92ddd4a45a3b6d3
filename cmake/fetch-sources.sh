#!/bin/sh
# SPDX-License-Identifier: MIT
# Fetches and unpacks Debian's source packages of libmosquitto and OpenSSL into DIR, for the
# static armhf gateway: DIR/mosquitto and DIR/openssl then point at the unpacked trees, and
# DIR/versions names the versions, for the package's Built-Using field. The sources come from
# the archive this machine's apt uses (or TERUNA_APT_SOURCES), through a private apt under DIR.
#   cmake/fetch-sources.sh DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# shellcheck source=cmake/debian-apt.sh
. "$(dirname "$0")/debian-apt.sh"
debian_apt_init "$dir/apt" "$(dpkg --print-architecture)" deb-src
debian_apt_update
: > "$dir/versions.new"
for package in mosquitto openssl; do
    rm -rf "${dir:?}/$package" "${dir:?}/$package"-[0-9]*
    # A mirror may lack the newest upload's files for a while: the newest that can be had.
    fetched=
    for version in $(debian_apt apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -u -r -V); do
        rm -f "$dir/${package}_"*
        if (cd "$dir" && debian_apt apt-get source "$package=$version"); then
            fetched=$version
            break
        fi
        echo "$0: $package $version could not be fetched; trying an older version" >&2
    done
    [ -n "$fetched" ] || { echo "$0: no version of $package could be fetched" >&2; exit 1; }
    tree=$(find "$dir" -maxdepth 1 -type d -name "$package-[0-9]*" | head -n 1)
    [ -n "$tree" ] || { echo "$0: $package was not unpacked" >&2; exit 1; }
    ln -s "$(basename "$tree")" "$dir/$package"
    version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
    echo "$package $version" >> "$dir/versions.new"
done
mv "$dir/versions.new" "$dir/versions"
cat "$dir/versions"

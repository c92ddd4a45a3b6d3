#!/bin/sh
# SPDX-License-Identifier: MIT
# The arm64 build's sysroot: Debian's arm64 packages that the build links against and its tests
# run with, downloaded with their dependencies through a private apt (cmake/debian-apt.sh) and
# unpacked here, so that this machine's package database and architectures stay as they are.
#   cmake/fetch-sysroot.sh DIR
# DIR/root is the tree that cmake/toolchain-arm64.cmake searches and qemu-user runs the tests
# in; DIR/packages/NAME is each package unpacked with its control files (shlibs, symbols), from
# which the Debian package's Depends are computed. A second run with DIR made does nothing.
set -eu
packages="libc6 libstdc++6 libgcc-s1 libmosquitto-dev libssl-dev libgtest-dev nlohmann-json3-dev"
triplet=aarch64-linux-gnu
loader=lib/ld-linux-aarch64.so.1

die() {
    echo "fetch-sysroot: $*" >&2
    exit 1
}
[ $# -eq 1 ] || die "usage: cmake/fetch-sysroot.sh DIR"
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1" || die "cannot make $1"
dir=$(cd "$1" && pwd)
if [ "$(cat "$dir/packages.list" 2>/dev/null)" = "$packages" ] && [ -e "$dir/root/$loader" ]; then
    echo "fetch-sysroot: $dir is there (remove it to fetch it anew)"
    exit 0
fi
for tool in apt-get dpkg-deb realpath; do
    command -v "$tool" >/dev/null 2>&1 || die "needs $tool, which is not installed"
done

rm -rf "$dir/packages.list" "$dir/root" "$dir/packages" "$dir/new" "$dir/apt"
new=$dir/new
# shellcheck source=cmake/debian-apt.sh
. "$here/debian-apt.sh"
debian_apt_init "$dir/apt" arm64 deb || die "no private apt for arm64 (see the line above)"
debian_apt_update
# shellcheck disable=SC2086 # the packages, one word each
if ! debian_apt_closure "$new/debs" $packages >"$dir/apt/closure.log" 2>&1; then
    why=$(grep -m 1 '^E: ' "$dir/apt/closure.log" || tail -n 1 "$dir/apt/closure.log")
    die "apt could not download $packages and their dependencies: $why"
fi
debian_unpack "$new/root" "$new"/debs/*.deb || die "cannot unpack the packages in $new/debs"
for deb in "$new"/debs/*.deb; do
    name=$(dpkg-deb --field "$deb" Package) || die "$deb is not a Debian package"
    if ! debian_unpack "$new/packages/$name" "$deb" || ! dpkg-deb -e "$deb" "$new/packages/$name/DEBIAN"; then
        die "cannot unpack $deb with its control files"
    fi
done
[ -e "$new/root/$loader" ] || die "the downloaded packages hold no /$loader"
# The cross compiler brings its own C library headers; the sysroot's /usr/include comes
# before them in the search, so it must not carry another set.
for header in stdio.h "$triplet/bits/types.h" linux/types.h; do
    [ ! -e "$new/root/usr/include/$header" ] ||
        die "the sysroot has /usr/include/$header, which would shadow the cross compiler's"
done

mv "$new/root" "$new/packages" "$dir/"
rm -rf "$new" "$dir/apt"
echo "$packages" >"$dir/packages.list"
echo "fetch-sysroot: $dir/root holds $(cd "$dir/packages" && echo *)"

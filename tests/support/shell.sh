# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# What the shell checks under tests/ share, sourced by bash: a scratch folder and background
# processes that end with the script however it ends, a failure that names what failed, and the
# package's name as the build gives it.
set -euo pipefail
scratch=$(mktemp -d)
background=()
# Commands run at the end, after the background processes are ended: at_exit 'COMMAND'.
exit_commands=()
at_exit() { exit_commands+=("$1"); }
shell_cleanup() {
    local pid command
    for pid in "${background[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for command in "${exit_commands[@]}"; do
        eval "$command" || true
    done
    rm -rf "$scratch"
}
trap shell_cleanup EXIT

# Every check is a condition followed by `|| fail WHAT`, or an `if`: a failed check stops the
# script with a line naming it, whatever bash's -e makes of negations and lists.
fail() {
    echo "${0##*/}: check failed: $*" >&2
    exit 1
}

# The Debian package cpack makes in BUILD_DIR, named from the version the build was configured
# with: deb_of BUILD_DIR ARCH
deb_of() {
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt")
    [ -n "$version" ] || fail "$1 is not a configured build folder"
    echo "$1/teruna_${version}_$2.deb"
}

# The files a package must hold: deb_has DEB FILE...
deb_has() {
    local deb=$1 file contents
    shift
    contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
    for file in "$@"; do
        grep -qx "$file" <<<"$contents" || fail "$deb lacks $file"
    done
}

# A copy of a package with its control file edited by a sed script, in the scratch folder:
# repacked DEB NAME SED-SCRIPT prints the copy's path.
repacked() {
    local deb=$1 tree=$scratch/repacked-$2
    rm -rf "$tree"
    dpkg-deb -R "$deb" "$tree"
    sed -i "$3" "$tree/DEBIAN/control"
    dpkg-deb -b "$tree" "$scratch/$2.deb" >/dev/null
    echo "$scratch/$2.deb"
}

# dpkg installs only packages of the machine's own architectures, and this one has no foreign
# ones: a package is installed as the machine's, with its own files, conffiles, dependencies
# and maintainer scripts, which are what an installation checks. as_installable DEB prints the
# copy to install.
as_installable() {
    repacked "$1" installable "s/^Architecture: .*/Architecture: $(dpkg --print-architecture)/"
}

# A TCP port on 127.0.0.1 that nothing listens on.
free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    fail "no free port on 127.0.0.1"
}

# Waits up to 30 s until something listens on 127.0.0.1:PORT.
await_port() {
    local port=$1
    for _ in $(seq 300); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return
        fi
        sleep 0.1
    done
    fail "nothing listens on 127.0.0.1:$port"
}

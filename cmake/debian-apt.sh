# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# A private apt for the scripts that fetch Debian's packages and sources (for the cross builds
# and the emulated machines): its configuration, lists and cache live in a folder of its own,
# so the machine's apt, its package database and its architectures are left as they are, and no
# root is needed. The archive is the one this machine's apt uses (what its sources.list and
# sources.list.d name, one-line or deb822 alike, as apt itself reads them), or the one named
# by the sources file in TERUNA_APT_SOURCES. Sourced by sh and bash alike:
#   . cmake/debian-apt.sh
#   debian_apt_init DIR ARCH TYPE     TYPE is deb or deb-src
#   debian_apt_update                 the lists, retried; goes on while any list was had
#   debian_apt COMMAND ARG...         apt-get or apt-cache on the private configuration
#   debian_apt_closure DIR PACKAGE... the packages and everything they depend on, into DIR
#   debian_unpack TREE DEB...         the packages' files, into TREE, as a tree of its own

# The machine's Debian archive entries, one line each: URI SUITE COMPONENT. Kept are those
# whose Release says Origin Debian or, where no Release has been fetched yet, whose suite is
# this release's (bookworm, bookworm-updates, bookworm-security); not, say, a Pi vendor's own
# archive for the same release, which its Release tells apart.
debian_archive_entries() {
    (
        if [ -n "${TERUNA_APT_SOURCES:-}" ]; then
            [ -f "$TERUNA_APT_SOURCES" ] || {
                echo "debian-apt: TERUNA_APT_SOURCES names $TERUNA_APT_SOURCES, which is not a file" >&2
                exit 1
            }
            parts=$(mktemp -d)
            trap 'rm -rf "$parts"' EXIT
            cp "$TERUNA_APT_SOURCES" "$parts/"
            set -- -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$parts" \
                -o Dir::State::Lists="$parts/lists"
        else
            set --
        fi
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        # apt lists a source's Origin only once its Release has been fetched.
        {
            apt-get "$@" indextargets --format 'origin|$(REPO_URI)|$(RELEASE)|$(ORIGIN)'
            apt-get "$@" indextargets --no-release-info --format 'entry|$(REPO_URI)|$(RELEASE)|$(COMPONENT)|$(TARGET_OF)'
        } | awk -F'|' -v codename="$codename" '
            $1 == "origin" { origin[$2 "|" $3] = $4; next }
            $5 != "deb" && $5 != "deb-src" { next }
            ($2 "|" $3) in origin ? origin[$2 "|" $3] == "Debian" : (codename != "" && ($3 == codename || index($3, codename "-") == 1)) {
                print $2, $3, $4
            }' | sort -u
    )
}

debian_apt_init() {
    debian_apt_dir=$1
    debian_apt_arch=$2
    mkdir -p "$debian_apt_dir/lists/partial" "$debian_apt_dir/cache/archives/partial" "$debian_apt_dir/parts"
    debian_apt_dir=$(cd "$debian_apt_dir" && pwd)
    : >"$debian_apt_dir/status"
    debian_apt_entries=$(debian_archive_entries) || return 1
    if [ -z "$debian_apt_entries" ]; then
        echo "debian-apt: this machine's apt sources name no Debian archive (see /etc/apt/sources.list and" \
            "/etc/apt/sources.list.d/, and run apt-get update); TERUNA_APT_SOURCES can name a sources file instead" >&2
        return 1
    fi
    echo "$debian_apt_entries" | while read -r uri suite component; do
        echo "$3 [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite $component"
    done >"$debian_apt_dir/sources.list"
}

debian_apt() {
    debian_apt_command=$1
    shift
    "$debian_apt_command" -q -o APT::Architecture="$debian_apt_arch" -o APT::Architectures="$debian_apt_arch" \
        -o Dir::State="$debian_apt_dir" -o Dir::State::Lists="$debian_apt_dir/lists" \
        -o Dir::State::status="$debian_apt_dir/status" -o Dir::Cache="$debian_apt_dir/cache" \
        -o Dir::Etc::SourceList="$debian_apt_dir/sources.list" -o Dir::Etc::SourceParts="$debian_apt_dir/parts" \
        -o Debug::NoLocking=true "$@"
}

# A mirror in the middle of a sync serves, for hours at a time, an index whose size or hash is
# not what its Release says: apt then fails that list and keeps the others. The update is tried
# a few times; if a list still fails, that is said in one line and what was had is used.
# TERUNA_APT_RETRY_PAUSE is the pause between tries, in seconds (default 20).
# debian_apt_update [COMMAND-PREFIX...]: with no prefix, the private apt; `apt-get` for the machine's.
debian_apt_update() {
    [ $# -gt 0 ] || set -- debian_apt apt-get
    debian_apt_log=$(mktemp)
    for debian_apt_try in 1 2 3; do
        if "$@" update >"$debian_apt_log" 2>&1; then
            rm -f "$debian_apt_log"
            return 0
        fi
        [ "$debian_apt_try" -eq 3 ] || sleep "${TERUNA_APT_RETRY_PAUSE:-20}"
    done
    debian_apt_failed=$(grep -E '^(E|W): Failed to fetch' "$debian_apt_log" ||
        grep -E '^E: ' "$debian_apt_log" | grep -v 'Some index files failed to download') || true
    debian_apt_failed=$(echo "$debian_apt_failed" | head -n 3 | tr '\n' ' ')
    rm -f "$debian_apt_log"
    echo "apt-get update failed 3 times; going on with the lists it has: ${debian_apt_failed:-no reason given}" >&2
    return 0
}

# The closure is what apt would install on an empty system: the packages, and what they
# depend on (not what they recommend).
debian_apt_closure() {
    debian_apt_into=$1
    shift
    mkdir -p "$debian_apt_into"
    debian_apt apt-get install --download-only --no-install-recommends -y \
        -o Dir::Cache::archives="$(cd "$debian_apt_into" && pwd)" "$@"
}

# A package's link to an absolute path (libc6's /lib/ld-linux-*.so.1) would lead out of TREE
# into this machine's own folders: each is made relative, within TREE.
debian_unpack() {
    debian_unpack_tree=$1
    shift
    mkdir -p "$debian_unpack_tree"
    for debian_unpack_deb in "$@"; do
        dpkg-deb -x "$debian_unpack_deb" "$debian_unpack_tree" || return 1
    done
    find "$debian_unpack_tree" -type l -lname '/*' | while read -r debian_unpack_link; do
        ln -sfn "$(realpath -ms --relative-to="$(dirname "$debian_unpack_link")" \
            "$debian_unpack_tree$(readlink "$debian_unpack_link")")" "$debian_unpack_link"
    done
}

#!/bin/sh
# Unpacks Debian's pugixml source package into build/pugixml-src, for builds
# that compile pugixml themselves (the Windows cross build). The version is the
# one of the installed libpugixml-dev when there is one, so that both libraries
# are built from the same pugixml.
#
#   tools/fetch-pugixml-source.sh [destination]
#
# Does nothing when the destination already holds that version. apt needs a
# source (deb-src) entry for Debian's archive: as root the script adds one
# mirroring the configured Debian entries; otherwise it prints what to run.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
dest=${1:-"$root/build/pugixml-src"}
stamp="$dest/.debian-version"

# The version wanted: the installed library's source version, or whatever
# apt offers when the library is not installed.
wanted=$(dpkg-query -W -f='${source:Version}' libpugixml-dev 2>/dev/null || true)

if [ -f "$dest/src/pugixml.cpp" ] && [ -f "$stamp" ]; then
    if [ -z "$wanted" ] || [ "$(cat "$stamp")" = "$wanted" ]; then
        exit 0
    fi
fi

have_command() { command -v "$1" >/dev/null 2>&1; }
for tool in apt-get apt-cache dpkg-source; do
    if ! have_command "$tool"; then
        echo "$tool is missing (package dpkg-dev for dpkg-source): run tools/install-deps.sh windows" >&2
        exit 1
    fi
done

# True when some enabled apt source list has a deb-src entry.
has_deb_src() {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && grep -Eq '^[[:space:]]*deb-src[[:space:]]' "$f" && return 0
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -Eiq '^Types:.*deb-src' "$f" && return 0
    done
    return 1
}

# Writes source entries that mirror the Debian binary entries, in the format
# that the system already uses.
add_deb_src() {
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^Types:.*/Types: deb-src/I' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/tavrolink-src.sources
    elif [ -f /etc/apt/sources.list ] && grep -Eq '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list; then
        sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list \
            > /etc/apt/sources.list.d/tavrolink-src.list
    else
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$codename" > /etc/apt/sources.list.d/tavrolink-src.sources
    fi
}

# True when apt knows the wanted source version (any version if none wanted).
source_known() {
    versions=$(apt-cache showsrc pugixml 2>/dev/null | sed -n 's/^Version: //p')
    [ -n "$versions" ] || return 1
    [ -z "$wanted" ] && return 0
    echo "$versions" | grep -qxF "$wanted"
}

if ! source_known; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "apt has no source package pugixml${wanted:+ $wanted}." >&2
        if has_deb_src; then
            echo "Run as root:  apt-get update" >&2
        else
            echo "Add a deb-src entry for Debian's archive and update, as root:" >&2
            echo "  sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/tavrolink-src.sources && apt-get update" >&2
            echo "(or run this script as root, which does the same)" >&2
        fi
        exit 1
    fi
    has_deb_src || add_deb_src
    apt-get update -qq
    if ! source_known; then
        echo "apt still offers no source package pugixml${wanted:+ $wanted}" >&2
        exit 1
    fi
fi

work="$dest.download"
rm -rf "$work" "$dest"
mkdir -p "$work"
(
    cd "$work"
    # apt's download sandbox user cannot write here when run as root; the
    # files are checked against the signed index either way.
    apt-get source -qq --download-only "pugixml${wanted:+=$wanted}" 2>&1 |
        grep -v 'unsandboxed' >&2 || true
    set -- ./*.dsc
    [ -f "$1" ] || { echo "the pugixml source package did not download" >&2; exit 1; }
    # Debian's patches are applied, as for the system's library. Its
    # maintainer's key is usually not at hand; apt has checked the files.
    dpkg-source -x "$1" unpacked >unpack.log 2>&1 || { cat unpack.log >&2; exit 1; }
)
mv "$work/unpacked" "$dest"
sed -n 's/^Version: //p' "$work"/*.dsc | head -n 1 > "$stamp"
rm -rf "$work"
echo "pugixml $(cat "$stamp") unpacked in $dest"

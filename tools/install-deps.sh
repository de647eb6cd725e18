#!/bin/sh
# Installs the Debian packages that building and testing need, if any is
# missing. Without root it prints the command to run instead.
#
#   tools/install-deps.sh            the Linux build and its tests
#   tools/install-deps.sh windows    also the cross compiler and Wine
#   tools/install-deps.sh fuzz       also clang's fuzzer and sanitizer runtimes
set -eu

packages="build-essential cmake ninja-build pkg-config libpugixml-dev libgtest-dev libbenchmark-dev binutils valgrind"
for extra in "$@"; do
    case "$extra" in
        windows) packages="$packages g++-mingw-w64-x86-64-posix wine64 dpkg-dev" ;;
        fuzz|asan) packages="$packages clang libclang-rt-14-dev llvm" ;;
        linux) ;;
        *) echo "unknown component: $extra" >&2; exit 2 ;;
    esac
done

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

command="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Run as root:  $command" >&2
    exit 1
fi
echo "Installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null

#!/bin/sh
# The shipped Windows library: a 64-bit DLL that exports exactly its four
# functions, undecorated, imports only from DLLs that every Windows has (the
# C and C++ runtimes are linked in), and carries its version resource.
#
#   check_dll.sh Tavrolink.dll OBJDUMP VERSION [WINDRES]
#
# OBJDUMP and WINDRES are the MinGW-w64 tools (WINDRES defaults to the one
# beside OBJDUMP); VERSION is the project's version, such as 4.2.4.
set -eu
dll=$1
objdump=$2
version=$3
windres=${4:-"${objdump%objdump}windres"}
status=0
fail() {
    echo "$*"
    status=1
}

headers=$("$objdump" -p "$dll")

# A PE32+ image for x86-64, and a DLL.
echo "$headers" | grep -q 'file format pei-x86-64' || fail "not an x86-64 PE image"
echo "$headers" | awk '/^Characteristics/ { f = 1; next } f && /^\t/ { print; next } { f = 0 }' |
    grep -qx '[[:space:]]*DLL' || fail "the image is not marked as a DLL"

# Exports: the names of the export name table, nothing else.
exports=$(echo "$headers" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { f = 1; next } f && /^\t\[/ { print $NF; next } { f = 0 }' |
    sort | tr '\n' ' ')
expected="DestroyObject GetClassNames GetClassObject SetPlatformCapabilities "
[ "$exports" = "$expected" ] || fail "exports: got '$exports', want '$expected'"

# Imports: system DLLs only. KERNEL32 and WS2_32 for the system and the
# sockets, msvcrt for the C library that MinGW-w64 builds on; anything else
# (libstdc++, libgcc, winpthread) would have to be shipped beside the DLL.
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || fail "no import table found"
for name in $imports; do
    case $(echo "$name" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll|msvcrt.dll|ws2_32.dll) ;;
        *) fail "unexpected import: $name" ;;
    esac
done

# Version resource: numbers and texts agree with the project's version.
resource=$("$windres" -i "$dll" -J coff -O rc 2>/dev/null) || fail "no resources readable"
numbers=$(echo "$version" | awk -F. '{ printf "%d, %d, %d, 0", $1, $2, $3 }')
for line in \
    "FILEVERSION $numbers" \
    "PRODUCTVERSION $numbers" \
    "VALUE \"FileVersion\", \"$version\"" \
    "VALUE \"ProductVersion\", \"$version\"" \
    "VALUE \"ProductName\", \"Tavrolink\"" \
    "VALUE \"OriginalFilename\", \"Tavrolink.dll\""; do
    echo "$resource" | sed 's/^[[:space:]]*//' | grep -qxF "$line" ||
        fail "version resource lacks: $line"
done

[ $status -eq 0 ] && echo "exports, imports and version resource as expected"
exit $status

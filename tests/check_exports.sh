#!/bin/sh
# The shipped library exports exactly its four functions and needs nothing
# beyond the system C library at run time.
set -eu
lib="$1"
status=0

exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
expected="DestroyObject GetClassNames GetClassObject SetPlatformCapabilities "
if [ "$exports" != "$expected" ]; then
    echo "exports: got '$exports', want '$expected'"
    status=1
fi

for needed in $(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case "$needed" in
        libc.so.6|libm.so.6|ld-linux-x86-64.so.2) ;;
        *) echo "unexpected run-time dependency: $needed"; status=1 ;;
    esac
done
[ $status -eq 0 ] && echo "exports and dependencies as expected"
exit $status

#!/bin/sh
# Starts or stops Wine's server around a test run of the Windows build.
#
#   wine-server.sh start|stop EMULATOR...
#
# EMULATOR is the build's CMAKE_CROSSCOMPILING_EMULATOR: "env", the NAME=VALUE
# settings (WINEPREFIX among them) and the wine loader. The server and the
# prefix's start-up programs write to files, never to the caller's output:
# ctest waits until a test's output is closed, and Wine's background processes
# would otherwise keep it open for as long as they live.
set -eu

action=${1:?start or stop}
shift
wine=
for arg in "$@"; do
    case "$arg" in
        env) ;;
        *=*) export "$arg" ;;
        *) wine=$arg ;;
    esac
done
: "${WINEPREFIX:?the emulator sets no WINEPREFIX}"
[ -n "$wine" ] || { echo "no wine loader in the emulator command" >&2; exit 2; }

server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=$(command -v wineserver || true)
[ -n "$server" ] && [ -x "$server" ] || { echo "wineserver not found beside $wine" >&2; exit 2; }

log="$(dirname "$WINEPREFIX")/wine.log"

case "$action" in
    start)
        mkdir -p "$WINEPREFIX"
        # The server stays up for a minute after its last client has gone,
        # so that each test does not pay for starting it. It refuses to start
        # when one already serves the prefix, which is as good.
        "$server" -p60 </dev/null >>"$log" 2>&1 || true
        # The first start fills the prefix (several seconds); later ones find it ready.
        if ! "$wine" wineboot </dev/null >>"$log" 2>&1; then
            echo "wineboot failed; see $log" >&2
            exit 1
        fi
        echo "wine ready in $WINEPREFIX"
        ;;
    stop)
        # Ends the server and every program of this prefix, nothing else.
        "$server" -k </dev/null >>"$log" 2>&1 || true
        echo "wine stopped in $WINEPREFIX"
        ;;
    *)
        echo "unknown action: $action" >&2
        exit 2
        ;;
esac

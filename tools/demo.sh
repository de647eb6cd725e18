#!/bin/sh
# The driver at work, from start to finish: the driver library is loaded by
# tavrolink-cli as the platform loads it and talks to the emulated terminal
# (tavrolink-terminal) on 127.0.0.1, port 9004.
#
#   sh tools/demo.sh BUILD_DIR        (make demo runs it on build/default)
#
# Each step prints a header saying what the driver is about to do, then what
# the terminal saw ("[terminal] ..." lines), then what tavrolink-cli reported.
# The script fails if a step does not turn out as expected.
set -u

if [ $# -ne 1 ]; then
    echo "usage: sh tools/demo.sh BUILD_DIR" >&2
    exit 2
fi
BUILD_DIR=$1
case $BUILD_DIR in
    /*) ;;
    *) BUILD_DIR=$(pwd)/$BUILD_DIR ;;
esac
# Run from the repository, so the sample files have short names.
cd "$(dirname "$0")/.." || exit 1

CLI=$BUILD_DIR/tools/cli/tavrolink-cli
TERMINAL=$BUILD_DIR/tools/terminal/tavrolink-terminal
ADDRESS=127.0.0.1
PORT=9004  # the driver always connects to this port
TABLE=tools/demo/table.txt
COLLECTED=tools/demo/collected.txt

for program in "$CLI" "$TERMINAL"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build first: cmake --build $1" >&2
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tavrolink-demo.XXXXXX") || exit 1
LOG=$WORK/terminal.log
SHOWN=0
TERMINAL_PID=

# Prints the terminal's lines that have not been shown yet.
show_terminal() {
    [ -f "$LOG" ] || return 0
    total=$(wc -l <"$LOG")
    if [ "$total" -gt "$SHOWN" ]; then
        sed -n "$((SHOWN + 1)),${total}p" "$LOG"
        SHOWN=$total
    fi
}

stop_terminal() {
    if [ -n "$TERMINAL_PID" ]; then
        kill "$TERMINAL_PID" 2>/dev/null
        wait "$TERMINAL_PID" 2>/dev/null
        TERMINAL_PID=
        show_terminal
    fi
}

cleanup() {
    stop_terminal
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

header() {
    printf '\n==> %s\n' "$1"
}

# step STATUS ARGS...: runs tavrolink-cli, shows what the terminal saw and what
# the command printed, and stops the demo unless it exited with STATUS.
step() {
    expected=$1
    shift
    "$CLI" "$@" >"$WORK/step.out" 2>&1
    status=$?
    show_terminal
    cat "$WORK/step.out"
    if [ "$status" -ne "$expected" ]; then
        echo "demo: tavrolink-cli $* exited with status $status, expected $expected" >&2
        exit 1
    fi
}

# --- the terminal ------------------------------------------------------------

header "Starting the terminal emulator on $ADDRESS:$PORT; it holds an inventory count ($COLLECTED)"
"$TERMINAL" --address "$ADDRESS" --port "$PORT" --data "$COLLECTED" >"$LOG" 2>&1 &
TERMINAL_PID=$!
waited=0
until grep -q "listening on $ADDRESS:$PORT" "$LOG"; do
    if ! kill -0 "$TERMINAL_PID" 2>/dev/null; then
        wait "$TERMINAL_PID" 2>/dev/null
        TERMINAL_PID=
        cat "$LOG" >&2
        echo "demo: the terminal emulator could not start on $ADDRESS:$PORT." >&2
        echo "      Is port $PORT already in use? (ss -ltnp 'sport = :$PORT' shows by whom)" >&2
        exit 1
    fi
    if [ "$waited" -ge 100 ]; then
        echo "demo: the terminal emulator did not report \"listening\" within 10 seconds" >&2
        exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
done
show_terminal

# --- what the driver says about itself ------------------------------------------

header "Loading the driver library as the platform does; the driver names its class, extension, version and interface revision"
step 0 version

header "The driver's methods, which the platform finds by English or Russian name (the first of them)"
"$CLI" methods >"$WORK/methods.out" 2>&1 || {
    cat "$WORK/methods.out"
    echo "demo: tavrolink-cli methods failed" >&2
    exit 1
}
head -n 7 "$WORK/methods.out"
echo "   ... $(tail -n 2 "$WORK/methods.out" | head -n 1) in all (tavrolink-cli methods lists them)"

header "GetDescription: the driver describes itself to the platform"
step 0 describe

header "EquipmentParameters: the settings form the platform shows; the terminal's address is its one parameter"
step 0 settings

# --- the exchanges -------------------------------------------------------------

header "ConnectEquipment: the driver checks that the terminal at $ADDRESS accepts a connection (it sends no frame)"
step 0 --address "$ADDRESS" connect

header "EquipmentTest: the driver connects and exchanges a test frame with the terminal"
step 0 --address "$ADDRESS" test

rows=$(($(wc -l <"$TABLE") - 1))
header "UploadTable: the driver sends the product table ($TABLE, $rows rows) in packages of at most 512 bytes: \"first\", middle ones, \"last\"
    (like every exchange below, it starts with ConnectEquipment, which the terminal sees as a connection without a frame)"
step 0 --address "$ADDRESS" upload "$TABLE" --package-size 512

header "DownloadTable: the driver fetches the data collected on the terminal"
step 0 --address "$ADDRESS" download

header "ClearTable: the driver tells the terminal to drop its collected data"
step 0 --address "$ADDRESS" clear

header "DownloadTable again: nothing is left on the terminal, so the driver reports \"no documents\" (error 4, expected)"
step 1 --address "$ADDRESS" download
if ! grep -qxF "failed: 4 Нет документов для выгрузки" "$WORK/step.out"; then
    echo "demo: the second download did not report error 4 (no documents)" >&2
    exit 1
fi

header "Stopping the terminal emulator"
stop_terminal

printf '\nDemo complete: every step turned out as expected.\n'

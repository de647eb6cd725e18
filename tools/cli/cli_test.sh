#!/bin/sh
# tavrolink-cli against the emulated terminal, end to end: the built library
# loaded by the command line, talking to tavrolink-terminal over loopback.
#
#   sh cli_test.sh CLI TERMINAL
#
# The terminal listens on the first address of 127.0.1.1 to 127.0.1.9 whose
# port 9004 is free (the driver always uses port 9004).
set -u

CLI=$1
TERMINAL=$2

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_test.XXXXXX") || exit 1
TERMINAL_PID=
ADDRESS=

stop_terminal() {
    if [ -n "$TERMINAL_PID" ]; then
        kill "$TERMINAL_PID" 2>/dev/null
        wait "$TERMINAL_PID" 2>/dev/null
        TERMINAL_PID=
    fi
}
cleanup() {
    stop_terminal
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

FAILURES=0
fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}

# run ARGS...: runs the command line; its output lands in $WORK/out and
# $WORK/err, its exit status in $RC.
run() {
    "$CLI" "$@" >"$WORK/out" 2>"$WORK/err"
    RC=$?
}

# expect STATUS LAST-STDERR-LINE WHAT: checks the exit status and the outcome line.
expect() {
    if [ "$RC" != "$1" ]; then
        fail "$3: exit status $RC, expected $1; stderr: $(cat "$WORK/err")"
    elif [ -n "$2" ] && [ "$(tail -n 1 "$WORK/err")" != "$2" ]; then
        fail "$3: last line on stderr is \"$(tail -n 1 "$WORK/err")\", expected \"$2\""
    fi
}

# expect_log LINE WHAT: the terminal logged exactly this line.
expect_log() {
    grep -qxF "[terminal] $1" "$WORK/terminal.log" || fail "$2: the terminal did not log \"$1\""
}

# --- fixtures ----------------------------------------------------------------

# Collected on the terminal: Cyrillic, an emoji (a surrogate pair in UTF-16).
cat >"$WORK/collected.txt" <<'EOF'
Инвентаризация № 17
Штрихкод;Количество
4601234567893;12
4607001234566;3 📦
EOF

# 44 bytes. With packages of 16 bytes a cut at byte 16 would fall inside the
# emoji (bytes 14 to 17): the packages must be 13, 16 and 15 bytes.
printf 'Молоко 🥛;89\nХлеб;45\nСыр;610\n' >"$WORK/table.txt"

# --- without a terminal ------------------------------------------------------

run --help
expect 0 "" "--help"
for command in describe settings version methods connect test upload download download-ex clear call; do
    grep -q "^  $command" "$WORK/out" || fail "--help does not explain $command"
done

run --library "$WORK/no-such-library.so" version
expect 3 "" "a library that does not exist"
grep -q "cannot load" "$WORK/err" || fail "a missing library: no \"cannot load\" message"

run --library "$WORK/collected.txt" version
expect 3 "" "a file that is not a library"

# Usage errors: STATUS ARGS... (one case a line; no argument holds a blank).
while read -r status args; do
    # shellcheck disable=SC2086
    run $args
    expect "$status" "" "tavrolink-cli $args"
done <<EOF
2
2 frobnicate
2 connect
2 --address 127.0.1.1 upload
2 --address 127.0.1.1 upload $WORK/table.txt --package-size 3
2 --address 127.0.1.1 upload $WORK/table.txt --package-size 16x
2 --address 127.0.1.1 upload $WORK/no-such-file.txt
2 --address 127.0.1.1 describe --output $WORK/x
2 --address 127.0.1.1 clear extra
2 call NoSuchMethod
2 call GetVersion unexpected
2 --no-such-option version
EOF

run version
expect 0 ok "version"
grep -q "4\.2\.4" "$WORK/out" || fail "version does not show the driver version 4.2.4"

run methods
expect 0 ok "methods"
grep -q "ЗагрузитьТаблицуДоп" "$WORK/out" || fail "methods does not list the Russian names"

# --- against the terminal ----------------------------------------------------

start_terminal() {
    for n in 1 2 3 4 5 6 7 8 9; do
        address=127.0.1.$n
        "$TERMINAL" --address "$address" --data "$WORK/collected.txt" >"$WORK/terminal.log" 2>&1 &
        TERMINAL_PID=$!
        tries=0
        while [ $tries -lt 100 ]; do
            if grep -q "listening on $address:9004" "$WORK/terminal.log"; then
                ADDRESS=$address
                return 0
            fi
            kill -0 "$TERMINAL_PID" 2>/dev/null || break  # port taken: try the next address
            sleep 0.1
            tries=$((tries + 1))
        done
        stop_terminal
    done
    return 1
}

if ! start_terminal; then
    echo "FAIL: the terminal emulator could not listen on any of 127.0.1.1-9:9004"
    cat "$WORK/terminal.log"
    exit 1
fi
A="--address $ADDRESS"

run $A connect
expect 0 ok "connect"
grep -qxF "device identifier: $ADDRESS" "$WORK/out" || fail "connect does not show the device identifier"

run $A test
expect 0 ok "test"
grep -qxF "Тест успешно пройден." "$WORK/out" || fail "test does not show the driver's test description"

run $A upload "$WORK/table.txt" --package-size 16
expect 0 ok "upload in three packages"
expect_log "upload first package, 13 bytes" "upload"
expect_log "upload middle package, 16 bytes" "upload"
expect_log "upload last package, 15 bytes; table complete, 44 bytes" "upload"

run $A upload "$WORK/table.txt"
expect 0 ok "upload in one package"
expect_log "upload whole table, 44 bytes" "upload in one package"

run $A download
expect 0 ok "download"
cmp -s "$WORK/out" "$WORK/collected.txt" || fail "download: standard output differs from the collected data"

run $A download --output "$WORK/downloaded.txt"
expect 0 ok "download --output"
cmp -s "$WORK/downloaded.txt" "$WORK/collected.txt" || fail "download --output: the file differs from the collected data"

run $A download-ex "Остатки"
expect 0 ok "download-ex"
expect_log 'download request "Остатки" -> 152 bytes' "download-ex"

run $A call ЗагрузитьТаблицу
expect 0 ok "call by the Russian name"
grep -q '^parameter 1  string (76 units) "Инвентаризация № 17\\n' "$WORK/out" ||
    fail "call ЗагрузитьТаблицу does not show the data it wrote: $(cat "$WORK/out")"

run $A clear
expect 0 ok "clear"
expect_log "clear: collected data dropped" "clear"

run $A download
expect 1 "failed: 4 Нет документов для выгрузки" "download after clear"
[ -s "$WORK/out" ] && fail "download after clear wrote data: $(cat "$WORK/out")"

stop_terminal
run $A connect
expect 1 "failed: 3 Сетевая ошибка" "connect with no terminal listening"

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all checks passed"

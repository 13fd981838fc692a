#!/bin/sh
# kt-inspect table/reply over the fixtures here, compared byte for byte with the expected JSON.
# usage: check.sh KT_INSPECT FIXTURE_DIR
set -u
tool=$1
dir=$2
status=0
for expected in "$dir"/*.json; do
    base=$(basename "$expected" .json)       # NAME.table or NAME.reply
    name=${base%.*}
    cmd=${base##*.}
    actual=$(KTREPORTER_CODEPAGE=UTF-8 "$tool" "$cmd" "$dir/$name.bin")
    rc=$?
    if [ $rc -ne 0 ]; then
        echo "FAIL $cmd $name.bin: exit status $rc"
        status=1
    elif [ "$actual" != "$(cat "$expected")" ]; then
        echo "FAIL $cmd $name.bin"
        echo "  expected: $(cat "$expected")"
        echo "  actual:   $actual"
        status=1
    else
        echo "ok   $cmd $name.bin"
    fi
done
KTREPORTER_CODEPAGE=UTF-8 "$tool" table >/dev/null 2>&1
if [ $? -ne 2 ]; then echo "FAIL table without FILE must exit 2"; status=1; fi
KTREPORTER_CODEPAGE=UTF-8 "$tool" reply a b >/dev/null 2>&1
if [ $? -ne 2 ]; then echo "FAIL reply with two files must exit 2"; status=1; fi
exit $status

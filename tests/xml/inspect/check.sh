#!/bin/sh
# kt-inspect xml, black box: exact JSON of a small file (records, names, paths, flags), the name
# case option, a broken file, a missing file, and the usage errors.
# usage: check.sh KT_INSPECT
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KTREPORTER_CODEPAGE=UTF-8
status=0

expect() {  # expect NAME EXPECTED ACTUAL
    if [ "$3" != "$2" ]; then
        echo "FAIL $1"
        echo "  expected: $2"
        echo "  actual:   $3"
        status=1
    else
        echo "ok   $1"
    fi
}

printf '<root>\n <url id="1" path="a"/><url id="2"/>\n</root>' >"$work/a.xml"
expect "small file" \
'{"loaded":true,"wellFormed":true,"error":"51 bytes to 51 wide chars","documentLength":51,"rootIndex":1,"records":[{"index":1,"start":0,"length":51,"startTagLength":6,"endTagLength":7,"level":0,"flags":524288,"parent":0,"firstChild":2,"next":0,"previous":1,"name":"root","path":"/root"},{"index":2,"start":8,"length":22,"startTagLength":22,"endTagLength":0,"level":1,"flags":524288,"parent":1,"firstChild":0,"next":3,"previous":3,"name":"url","path":"/root/url"},{"index":3,"start":30,"length":13,"startTagLength":13,"endTagLength":0,"level":1,"flags":0,"parent":1,"firstChild":0,"next":0,"previous":2,"name":"url","path":"/root/url[2]"}]}' \
"$("$tool" xml "$work/a.xml")"

printf '<A></a>' >"$work/case.xml"
expect "name case option" \
'{"loaded":true,"wellFormed":true,"error":"7 bytes to 7 wide chars","documentLength":7,"rootIndex":1,"records":[{"index":1,"start":0,"length":7,"startTagLength":3,"endTagLength":4,"level":0,"flags":524288,"parent":0,"firstChild":0,"next":0,"previous":1,"name":"A","path":"/A"}]}' \
"$("$tool" xml "$work/case.xml" --ignore-case)"

expect "broken file" \
'{"loaded":false,"wellFormed":false,"error":"7 bytes to 7 wide chars, No start tag for end tag '"'a'"' at offset 3","documentLength":7,"rootIndex":1,"records":[{"index":1,"start":0,"length":3,"startTagLength":3,"endTagLength":0,"level":0,"flags":1572864,"parent":0,"firstChild":0,"next":0,"previous":1,"name":"A","path":"/A"}]}' \
"$("$tool" xml "$work/case.xml")"

expect "missing file" \
'{"loaded":false,"wellFormed":false,"error":"No such file or directory","documentLength":0,"rootIndex":0,"records":[]}' \
"$("$tool" xml "$work/none.xml")"

"$tool" xml >/dev/null 2>&1
expect "no file is a usage error" 2 $?
"$tool" xml "$work/a.xml" --bogus >/dev/null 2>&1
expect "unknown option is a usage error" 2 $?

exit $status

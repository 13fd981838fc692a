#!/bin/sh
# kt-inspect urls / paths, black box: exact JSON for a small table, numeric kind order, the trace of
# a missing file, the layout under a fresh root, and the usage errors.
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

mkdir "$work/etc"
cat >"$work/etc/urlserver.xml" <<'XML'
<root>
  <url id="10" path="http://h/ten"/>
  <url id="2" path="http://h/two?a=1&amp;b=2"/>
  <url id="-1" path="minus"/>
  <url id="2" path="second two"/>
</root>
XML
expect "urls: kinds in numeric order" \
    '{"result":0,"urls":{"-1":"minus","2":"http://h/two?a=1&b=2","10":"http://h/ten"},"codePage":"UTF-8","trace":[]}' \
    "$("$tool" urls "$work/etc/")"

fs_dir=$(printf '%s' "$work/none/" | sed 's|/|\\\\|g')
expect "urls: missing file" \
    "{\"result\":0,\"urls\":{},\"codePage\":\"UTF-8\",\"trace\":[\"Failed parse ${fs_dir}urlserver.xml file\\n\"]}" \
    "$("$tool" urls "$work/none/")"

printf '<config><url id="24" path="x"/></config>' >"$work/etc/urlserver.xml"
expect "urls: other root name" '{"result":-1,"urls":{},"codePage":"UTF-8","trace":[]}' \
    "$("$tool" urls "$work/etc/")"

out=$("$tool" paths "$work/client/" --user u1)
root=$(printf '%s' "$work/client/" | sed 's|/|\\\\|g')
expect "paths: kind 12 with a user" "\"12\":\"${root}users\\\\u1\\\\Passport\\\\passport\"" \
    "$(printf '%s' "$out" | grep -o '"12":"[^"]*"')"
expect "paths: kind 40 is the root" "\"40\":\"${root}\"}" "$(printf '%s' "$out" | grep -o '"40":"[^"]*"}')"
expect "paths: 35 kinds in order" "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 32 33 40" \
    "$(printf '%s' "$out" | grep -o '"[0-9]*":' | tr -d '":' | tr '\n' ' ' | sed 's/ $//')"
[ -d "$work/client/users/u1/Passport" ] && [ ! -e "$work/client/users/u1/Passport/passport" ] ||
    { echo "FAIL paths: directories on disk"; status=1; }

"$tool" paths >/dev/null 2>&1
[ $? -eq 2 ] || { echo "FAIL paths without ROOT must exit 2"; status=1; }
"$tool" urls a b >/dev/null 2>&1
[ $? -eq 2 ] || { echo "FAIL urls with two directories must exit 2"; status=1; }
"$tool" paths "$work/" --user >/dev/null 2>&1
[ $? -eq 2 ] || { echo "FAIL --user without a value must exit 2"; status=1; }
exit $status

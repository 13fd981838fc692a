#!/bin/sh
# kt-inspect, black box, one section per test folder:
#   xml    exact JSON of a small file (records, names, paths, flags), the name case option, a
#          broken file, a missing file, and the usage errors;
#   paths  exact JSON of a small URL table in numeric kind order, the trace of a missing file, a
#          root with another name, the layout under a fresh root, and the usage errors.
# usage: check.sh KT_INSPECT xml|paths
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

usage_error() {  # usage_error NAME ARGS...: the tool must exit with 2
    name=$1
    shift
    "$tool" "$@" >/dev/null 2>&1
    expect "$name" 2 $?
}

case ${2:-} in
xml)
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

    usage_error "no file is a usage error" xml
    usage_error "unknown option is a usage error" xml "$work/a.xml" --bogus
    ;;
paths)
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
    [ -d "$work/client/users/u1/Passport" ] && [ ! -e "$work/client/users/u1/Passport/passport" ]
    expect "paths: directories on disk" 0 $?

    usage_error "paths without ROOT is a usage error" paths
    usage_error "urls with two directories is a usage error" urls a b
    usage_error "--user without a value is a usage error" paths "$work/" --user
    ;;
*)
    echo "usage: check.sh KT_INSPECT xml|paths" >&2
    exit 2
    ;;
esac
exit $status

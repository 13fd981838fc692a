#!/bin/sh
# inspect_form.sh KT_INSPECT...: `kt-inspect form` writes exactly the body the dialog sends, here in
# GBK with a CR LF description and a binary attachment; and a bad option is a usage error. The
# arguments are the command that runs kt-inspect (under Wine in the Windows build).
set -u
# The Chinese argument reaches a Windows program through the locale's character set.
export LC_ALL=C.UTF-8
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'R\000\r\n\377' >"$dir/a.rar"
d='-----------------------------7d92de3351722'
part() { printf '%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n' "$d" "$1" "$2"; }
{
  printf '\r\n'
  part DATA_FROM client
  part PAGE_TYPE 1
  part USER_ID_YY_RDQ012 u7
  part F001V_YY_RDQ012 "$(printf '\325\305\310\375')"
  part F002V_YY_RDQ012 a@b.cn
  part F003V_YY_RDQ012 ''
  part F005V_YY_RDQ013 t
  part F007C_YY_RDQ013 "$(printf 'x\r\ny')"
  printf '%s\r\nContent-Disposition: form-data; name="ATTACH_FILE_NAME"; filename="%s"\r\n' "$d" "$dir/a.rar"
  printf 'Content-Type: application/x-rar-compressed   rar\r\n\r\n'
  cat "$dir/a.rar"
  printf '\r\n%s--\r\n\r\n' "$d"
} >"$dir/expected"
KTREPORTER_CODEPAGE=GBK "$@" form --type 1 --user u7 --name 张三 --email a@b.cn --title t \
  --desc "$(printf 'x\r\ny')" --attach "$dir/a.rar" >"$dir/actual" || { echo "form failed" >&2; exit 1; }
if ! cmp "$dir/expected" "$dir/actual"; then
  od -c "$dir/actual" | head -40 >&2
  exit 1
fi
"$@" form --type 2>/dev/null
[ $? -eq 2 ] || { echo "a missing option value is not a usage error" >&2; exit 1; }
"$@" form --type x 2>/dev/null
[ $? -eq 2 ] || { echo "a non-numeric type is not a usage error" >&2; exit 1; }
exit 0

#!/bin/sh
# tvxcall end to end: --help, bad usage, then a post and the page that shows
# it, on a store of its own.
# Usage: tvxcall_test.sh TVXCALL CORKWALL_TVX
set -u
tvxcall=$1
plugin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...: counts and reports one case
  name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}

"$tvxcall" --help >"$work/help" 2>&1
check "help exits 0" test $? -eq 0
check "help shows usage" grep -q "Usage: tvxcall" "$work/help"
check "help shows an example" grep -q "Examples:" "$work/help"

"$tvxcall" >/dev/null 2>"$work/err"
check "no plug-in exits 2" test $? -eq 2
check "no plug-in says so" grep -q "no plug-in given" "$work/err"

"$tvxcall" "$work/missing.tvx" >/dev/null 2>"$work/err"
check "missing plug-in exits 2" test $? -eq 2
check "missing plug-in says so" grep -q "cannot load plug-in" "$work/err"

"$tvxcall" --bogus "$plugin" >/dev/null 2>"$work/err"
check "unknown option exits 2" test $? -eq 2

"$tvxcall" "$plugin" notanassignment >/dev/null 2>"$work/err"
check "bad NAME=VALUE exits 2" test $? -eq 2

mkdir -p "$work/www/cgi"
store="$work/store.db"
"$tvxcall" --store "$store" -s /cgi/board.tvx -r "$work/www" -v "$plugin" \
  -d 'name=Taro&email=&subject=Tom+%26+Jerry&body=Hello+board&postitem=x' >"$work/post" 2>"$work/err"
check "post exits 0" test $? -eq 0
printf 'Location: /cgi/board.tvx\r\n\r\n' >"$work/expected"
check "post answers the redirect" cmp -s "$work/post" "$work/expected"
check "post reports the length" grep -q "fnTvx returned 28" "$work/err"

printf 'name=Hanako&subject=Second&body=From+stdin&postitem=x' |
  "$tvxcall" --store "$store" -s /cgi/board.tvx -r "$work/www" -f - "$plugin" >"$work/post2"
check "post from stdin answers the redirect" cmp -s "$work/post2" "$work/expected"

"$tvxcall" --store "$store" -s /cgi/board.tvx -r "$work/www" "$plugin" >"$work/page"
check "get exits 0" test $? -eq 0
check "page header block" grep -q "Content-Type: text/html; Charset=Shift_JIS" "$work/page"
check "page shows the first post" grep -q "Tom &amp; Jerry" "$work/page"
check "page shows the post from stdin" grep -q "From stdin" "$work/page"

# The store named by the environment is used when --store is not given.
CEPLATFORM_STORE="$store" "$tvxcall" -s /cgi/board.tvx -r "$work/www" "$plugin" >"$work/page2"
check "environment names the store" grep -q "Hello board" "$work/page2"

echo "$passed passed, $failed failed"
test "$failed" -eq 0

#!/bin/sh
# Checks the manual page: man and groff render it without a warning, it
# names the project's version, and every text the launcher prints is
# quoted in it word for word.
#   check_manpage.sh SOURCE_DIR VERSION
set -eu
src=$1 version=$2
page="$src/doc/fwlaunch.1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$page" > /dev/null 2> "$tmp/man.err" || fail "man exited with $?"
groff -man -ww -z "$page" 2>> "$tmp/man.err" || fail "groff exited with $?"
if [ -s "$tmp/man.err" ]; then
    fail "warnings while rendering $page:"
    cat "$tmp/man.err"
fi

grep -q "^\.TH FWLAUNCH 1 [0-9-]* \"fwlaunch $version\" " "$page" ||
    fail "the .TH line does not name fwlaunch $version"

# The page as plain text on lines long enough that no message is broken.
groff -man -Tascii -P-cbou -rLL=400n "$page" 2> /dev/null | tr -s ' ' > "$tmp/page.txt"

# The format strings of every printf, fprintf to standard error and
# perror in the launcher, cut at their conversions and line feeds: each
# piece must be on the page.
# "file is null,exitn" is left out on purpose: dfu_run is never called
# without an image.
sed -n 's/.*\(printf\|perror\)(\(stderr, \)\{0,1\}"\([^"]*\)".*/\3/p' "$src"/src/*.cpp |
    grep -v '^file is null' |
    sed 's/%[-0-9.]*[hlz]*[a-z]/\n/g; s/\\n/\n/g' |
    sed 's/^ *//; s/ *$//' | tr -s ' ' | grep -v '^$' | sort -u > "$tmp/pieces"
[ -s "$tmp/pieces" ] || fail "found no messages in $src/src"
while IFS= read -r piece; do
    grep -qF -- "$piece" "$tmp/page.txt" || fail "the page does not quote: $piece"
done < "$tmp/pieces"

[ "$failed" -eq 0 ] && echo "manual page: ok ($(wc -l < "$tmp/pieces") message pieces)"
exit "$failed"

#!/bin/sh
# Checks that LICENSE and the package's copyright file agree: the
# copyright file is in the machine-readable format, names the same
# holder and year, and carries the same license text word for word.
#   check_license.sh SOURCE_DIR
set -eu
src=$1
license="$src/LICENSE"
copyright="$src/debian/copyright"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file does not start with the Format line of the machine-readable format"
head -n 1 "$license" | grep -qx 'MIT License' || fail "LICENSE is not the MIT license"

holder=$(sed -n 's/^Copyright (c) //p' "$license")
field=$(sed -n 's/^Copyright: //p' "$copyright")
[ -n "$holder" ] && [ "$holder" = "$field" ] ||
    fail "LICENSE names '$holder', the copyright file '$field'"

# The text of the Expat License field, its continuation lines unfolded
# (" ." is an empty line), against LICENSE from its permission notice on.
grep -qx 'License: Expat' "$copyright" || fail "the copyright file has no Expat (MIT) License paragraph"
awk '/^License: Expat$/ { p = 1; next }
     p && /^ / { sub(/^ /, ""); if ($0 == ".") $0 = ""; print; next }
     { p = 0 }' "$copyright" > "$tmp/from-copyright"
sed -n '/^Permission is hereby granted/,$p' "$license" > "$tmp/from-license"
[ -s "$tmp/from-license" ] || fail "LICENSE has no permission notice"
if ! cmp -s "$tmp/from-license" "$tmp/from-copyright"; then
    fail "the license texts differ (-LICENSE +copyright):"
    diff "$tmp/from-license" "$tmp/from-copyright" | sed -n 's/^</-/p; s/^>/+/p'
fi

[ "$failed" -eq 0 ] && echo "license: ok"
exit "$failed"

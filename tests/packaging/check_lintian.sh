#!/bin/sh
# Runs lintian, with its default settings, on the Debian package that
# build_deb.sh left in DEB_DIR: any error (E:) or warning (W:) fails.
#   check_lintian.sh DEB_DIR
set -eu
deb_dir=$1
set -- "$deb_dir"/*.deb
[ -f "$1" ] || { echo "FAIL: no .deb in $deb_dir"; exit 1; }
deb=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# --fail-on none: the exit status then only says whether lintian ran.
lintian --fail-on none "$deb" > "$out" 2>&1 || { cat "$out"; echo "FAIL: lintian could not check $deb"; exit 1; }
cat "$out"
if grep -q '^[EW]: ' "$out"; then
    echo "FAIL: lintian reports errors or warnings"
    exit 1
fi
echo "lintian: ok"

#!/bin/sh
# Builds the Debian package with CPack into OUT_DIR, afresh, for the
# checks that read it.
#   build_deb.sh BUILD_DIR OUT_DIR
set -eu
build=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" > "$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; echo "FAIL: cpack -G DEB"; exit 1; }
set -- "$out"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { cat "$out/cpack.log"; echo "FAIL: expected one .deb in $out"; exit 1; }
echo "built $1"

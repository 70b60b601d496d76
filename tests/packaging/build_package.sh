#!/bin/sh
# Builds the source and binary packages the Debian way, as from a clean
# clone: the source tree is copied to OUT_DIR/fwlaunch as a clone would
# have it (copy_source.sh), and `dpkg-buildpackage -us -uc` there leaves
# the .dsc, the source tarball, the .debs and the .changes in OUT_DIR,
# for the checks that read them.
#   build_package.sh SOURCE_DIR OUT_DIR
set -eu
src=$1 out=$2
rm -rf "$out"
sh "$(dirname "$0")/copy_source.sh" "$src" "$out/fwlaunch"

(cd "$out/fwlaunch" && dpkg-buildpackage -us -uc) > "$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log"; echo "FAIL: dpkg-buildpackage -us -uc"; exit 1; }
for artifact in "$out"/fwlaunch_*.dsc "$out"/fwlaunch_*.tar.* "$out"/fwlaunch_*.changes \
    "$out"/fwlaunch_*_*.deb "$out"/fwlaunch-dbgsym_*_*.*deb; do
    [ -f "$artifact" ] || { echo "FAIL: dpkg-buildpackage left no $artifact"; exit 1; }
    echo "built $(basename "$artifact")"
done

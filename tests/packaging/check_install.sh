#!/bin/sh
# Installs the build into a staging prefix and checks the layout: the
# launcher, its manual page and its udev rules, all under the prefix, and
# nothing else (the simulator and the tests are not installed).
#   check_install.sh BUILD_DIR FWLAUNCH_BINARY UDEV_RULES_DIR SOURCE_DIR
set -eu
build=$1 binary=$2 rules_dir=$3 src=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

case $rules_dir in
    /*) echo "SKIP: the udev rules folder $rules_dir is absolute, not under a prefix"; exit 0 ;;
esac
[ -x "$binary" ] || { echo "FAIL: $binary is not built"; exit 1; }

# DESTDIR as well as the prefix: a file given an absolute destination
# lands beside the stage instead of in the live system, and is caught.
stage=/stage
DESTDIR="$tmp/root" cmake --install "$build" --prefix "$stage" > "$tmp/log" 2>&1 ||
    { cat "$tmp/log"; echo "FAIL: cmake --install"; exit 1; }

root="$tmp/root$stage"
(cd "$tmp/root" && find . ! -type d | sort) > "$tmp/files"
printf '%s\n' "./stage/bin/fwlaunch" "./stage/share/man/man1/fwlaunch.1" \
    "./stage/$rules_dir/70-ondrix-fwlaunch.rules" | sort > "$tmp/expected"
if ! cmp -s "$tmp/files" "$tmp/expected"; then
    fail "installed files differ from the expected ones (-expected +installed):"
    diff "$tmp/expected" "$tmp/files" | sed -n 's/^</-/p; s/^>/+/p'
fi
[ -x "$root/bin/fwlaunch" ] || fail "bin/fwlaunch is not executable"
cmp -s "$root/share/man/man1/fwlaunch.1" "$src/doc/fwlaunch.1" || fail "installed manual page differs"
cmp -s "$root/$rules_dir/70-ondrix-fwlaunch.rules" "$src/data/70-ondrix-fwlaunch.rules" ||
    fail "installed udev rules differ"

[ "$failed" -eq 0 ] && echo "staged install: ok"
exit "$failed"

#!/bin/sh
# Installs the build into a staging prefix and checks the layout: the
# launcher, its compressed manual page, its udev rules, its bash
# completion, the compressed changelog and the copyright file, all under
# the prefix, and nothing else (the simulator and the tests are not
# installed).
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
manpage=share/man/man1/fwlaunch.1.gz
changelog=share/doc/fwlaunch/changelog.gz
printf '%s\n' "./stage/bin/fwlaunch" "./stage/$manpage" "./stage/$changelog" \
    "./stage/share/doc/fwlaunch/copyright" "./stage/$rules_dir/70-ondrix-fwlaunch.rules" \
    "./stage/share/bash-completion/completions/fwlaunch" |
    sort > "$tmp/expected"
if ! cmp -s "$tmp/files" "$tmp/expected"; then
    fail "installed files differ from the expected ones (-expected +installed):"
    diff "$tmp/expected" "$tmp/files" | sed -n 's/^</-/p; s/^>/+/p'
fi
[ -x "$root/bin/fwlaunch" ] || fail "bin/fwlaunch is not executable"
cmp -s "$root/$rules_dir/70-ondrix-fwlaunch.rules" "$src/data/70-ondrix-fwlaunch.rules" ||
    fail "installed udev rules differ"
cmp -s "$root/share/doc/fwlaunch/copyright" "$src/debian/copyright" || fail "installed copyright file differs"

# Compressed as gzip -9n does: the same text, and a header without a file
# name or a time stamp (flags 0, time 0), so that builds are reproducible.
check_compressed() { # check_compressed INSTALLED SOURCE
    gzip -dc "$root/$1" 2> /dev/null | cmp -s - "$2" || fail "$1 is not $2 compressed"
    header=$(od -An -tx1 -N8 "$root/$1" | tr -d ' ')
    [ "$header" = 1f8b080000000000 ] || fail "$1 has a file name or a time stamp in its gzip header ($header)"
}
check_compressed "$manpage" "$src/doc/fwlaunch.1"
check_compressed "$changelog" "$src/debian/changelog"

[ "$failed" -eq 0 ] && echo "staged install: ok"
exit "$failed"

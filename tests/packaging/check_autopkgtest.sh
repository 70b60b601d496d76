#!/bin/sh
# Runs the package's own tests (debian/tests, all of them) with
# autopkgtest against the packages build_in_chroot.sh left in OUT_DIR, in
# a minimal test bed of a Debian RELEASE: autopkgtest's unshare backend
# unpacks the release's minbase root file system (chroot_lib.sh) afresh
# for every test, and installs into it the package and that test's
# declared dependencies, as autopkgtest does everywhere (no Recommends).
#   check_autopkgtest.sh RELEASE OUT_DIR
set -eu
release=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/chroot_lib.sh"
tarball=$(ci_tarball "$release" testbed) || { echo "FAIL: no $release test bed"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/var/tmp}/fwlaunch-autopkgtest-$release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tests run from the source tree of the package under test. None
# needs the tree built (build-needed), and autopkgtest takes a tree with a
# debian/files for one that is: else it installs dpkg-dev (with make,
# perl and binutils) into the test bed to prepare the tree, and the first
# test would not run with its declared dependencies alone.
dpkg-source --no-check -x "$(ls "$out"/fwlaunch_*.dsc)" "$work/source" > /dev/null
: > "$work/source/debian/files"
deb=$(ls "$out"/fwlaunch_*_*.deb)
archives=$(ci_archives "$release" autopkgtest)

status=0
rm -rf "$out/autopkgtest-$release"
flock "$archives.lock" autopkgtest --output-dir="$out/autopkgtest-$release" --setup-commands='apt-get -q update' \
    "$deb" "$work/source/" -- \
    unshare --release "$release" --arch "$ci_arch" --tarball "$tarball" \
    --bind "$archives" /var/cache/apt/archives > "$out/autopkgtest-$release.log" 2>&1 || status=$?
sed -n '/@@@@ summary/,$p' "$out/autopkgtest-$release.log"
if [ "$status" -ne 0 ]; then
    grep -v '^(Reading database' "$out/autopkgtest-$release.log" | tail -n 80
    echo "FAIL: autopkgtest in a $release test bed (status $status)"
    exit 1
fi
for test in $(sed -n 's/^Tests: //p' "$work/source/debian/tests/control"); do
    grep -q "^$test  *PASS" "$out/autopkgtest-$release.log" || { echo "FAIL: $test did not pass"; exit 1; }
done
echo "autopkgtest: ok (all of debian/tests in a $release test bed)"

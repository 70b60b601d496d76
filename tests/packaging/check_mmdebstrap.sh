#!/bin/sh
# Makes a tiny root file system of a Debian RELEASE as the package checks
# make their chroots (chroot_lib.sh: ci_tarball_of, its locks held, apt
# downloading through mmdebstrap's pipe), in a cache of its own: the
# extract variant with netbase alone (12 kB, no dependencies), in
# seconds. Run by ctest, it fails where the chroots cannot be made under
# ctest, as when a descriptor of ours pushed mmdebstrap's pipe above 9.
#   check_mmdebstrap.sh RELEASE
set -eu
release=$1
FWLAUNCH_CI_CACHE=$(mktemp -d "${TMPDIR:-/var/tmp}/fwlaunch-mmdebstrap-$release.XXXXXX")
trap 'rm -rf "$FWLAUNCH_CI_CACHE"' EXIT
. "$(cd "$(dirname "$0")" && pwd)/chroot_lib.sh"

tarball=$(ci_tarball_of "$release" extract "--variant=extract --include=netbase") ||
    { echo "FAIL: mmdebstrap could not make a $release root file system with netbase"; exit 1; }
for file in ./etc/services ./usr/share/doc/netbase/copyright; do
    tar --list --file "$tarball" | grep -qx "$file" || { echo "FAIL: $file is not in $(basename "$tarball")"; exit 1; }
done
echo "mmdebstrap: ok ($(basename "$tarball") holds netbase's files)"

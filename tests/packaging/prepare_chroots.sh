#!/bin/sh
# Makes the root file systems of a Debian RELEASE that the package checks
# use (chroot_lib.sh), when they are missing or old: the first run on a
# machine takes some minutes here, later ones a moment.
#   prepare_chroots.sh RELEASE
set -eu
release=$1
. "$(cd "$(dirname "$0")" && pwd)/chroot_lib.sh"
if ! grep -q "^$(id -un):" /etc/subuid || ! grep -q "^$(id -un):" /etc/subgid; then
    echo "FAIL: $(id -un) has no subordinate user and group IDs (/etc/subuid, /etc/subgid) for the" \
        "chroots' user namespace; scripts/install-deps adds them"
    exit 1
fi
for kind in build lintian testbed; do
    ci_tarball "$release" "$kind" > /dev/null || { echo "FAIL: the $release $kind chroot"; exit 1; }
done
ls -l "$FWLAUNCH_CI_CACHE/$release-$ci_arch"-*.tar | awk '{ print "chroot: " $NF " of " $6 " " $7 " " $8 }'

#!/bin/sh
# Installs the package built on one Debian release (build_in_chroot.sh
# left it in OUT_DIR) with apt into a minimal test bed of another RELEASE
# (chroot_lib.sh), its dependencies from that release's archive, and runs
# the installed launcher: --version, and --list with no device.
#   check_install_elsewhere.sh RELEASE OUT_DIR
set -eu
release=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/chroot_lib.sh"
deb=$(cd "$out" && ls fwlaunch_*_*.deb)
work=$(mktemp -d "${TMPDIR:-/var/tmp}/fwlaunch-install-$release.XXXXXX")
trap 'ci_remove "$work/chroot"; rm -rf "$work"' EXIT
chmod 755 "$out"

ci_chroot "$release" testbed "$work/chroot" install || { echo "FAIL: no $release test bed"; exit 1; }
status=0
ci_run "$work/chroot" --bind "$out" /packages -- sh -c '
    set -eu
    apt-get -q update
    apt-get -q -y --no-install-recommends install "/packages/$1"
    echo "=== installed"
    dpkg-query -W -f "\${Version}\n" fwlaunch
    fwlaunch --version
    fwlaunch --list || echo "--list: status $?"
    dpkg -L fwlaunch | grep udev/rules.d/' sh "$deb" > "$work/log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 30 "$work/log"
    echo "FAIL: $deb does not install on $release"
    exit 1
fi
sed -n '/^=== installed$/,$p' "$work/log" | sed 1d > "$work/said"
cat "$work/said"
version=$(sed -n 1p "$work/said")
sed -n 2p "$work/said" | grep -qx "fwlaunch $version" || { echo "FAIL: the installed launcher's --version"; exit 1; }
grep -qx -- '--list: status 1' "$work/said" || { echo "FAIL: --list with no device did not end with status 1"; exit 1; }
echo "installed elsewhere: ok ($deb on $release)"

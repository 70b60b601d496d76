#!/bin/sh
# Builds the source package as sbuild does, in a clean chroot of a Debian
# RELEASE (chroot_lib.sh): the buildd root file system as it was made,
# the package's Build-Depends installed by apt (no Recommends), and
# dpkg-buildpackage run as an unprivileged user without a network. The
# source package is made here from the source tree as a clean clone has
# it (copy_source.sh). OUT_DIR gets the .dsc, the source tarball, the
# .debs, the .buildinfo and the .changes, and build.log.
#   build_in_chroot.sh RELEASE SOURCE_DIR OUT_DIR
set -eu
release=$1 src=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/chroot_lib.sh"
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/fwlaunch-build-$release.XXXXXX")
trap 'ci_remove "$work/chroot"; rm -rf "$work"' EXIT

sh "$here/copy_source.sh" "$src" "$work/source/fwlaunch"
(cd "$work/source" && dpkg-source --build fwlaunch) > "$out/build.log" 2>&1 ||
    { cat "$out/build.log"; echo "FAIL: dpkg-source --build"; exit 1; }

start=$(date +%s)
ci_chroot "$release" build "$work/chroot" build || { echo "FAIL: no $release chroot"; exit 1; }
ready=$(date +%s)
status=0
ci_run "$work/chroot" --bind "$work/source" /source --bind "$out" /out -- sh -c '
    set -eu
    step() { echo "=== $* ($(date +%s))"; }
    step "the Build-Depends"
    apt-get -q update
    apt-get -q -y --no-install-recommends build-dep /source/fwlaunch_*.dsc
    useradd --create-home builder
    mkdir /build
    cp /source/fwlaunch_*.dsc /source/fwlaunch_*.tar.* /build
    chown -R builder: /build
    step "the build"
    cd /build
    runuser -u builder -- dpkg-source -x fwlaunch_*.dsc fwlaunch
    cd fwlaunch
    unshare --net runuser -u builder -- dpkg-buildpackage -us -uc
    step "done"
    cd /build
    cp fwlaunch_* fwlaunch-dbgsym_* /out
' >> "$out/build.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { tail -n 60 "$out/build.log"; echo "FAIL: the build in the $release chroot"; exit 1; }

# The seconds each step took, from the marks in the log.
awk -v unpack=$((ready - start)) '
    /^=== .* \([0-9]+\)$/ { t = $NF; gsub(/[()]/, "", t); if (name != "") times = times sprintf(", %s %d s", name, t - last)
                            name = $0; sub(/^=== /, "", name); sub(/ \([0-9]+\)$/, "", name); last = t }
    END { printf "%s", "chroot ready in " unpack " s" times "\n" }' "$out/build.log"
for artifact in "$out"/fwlaunch_*.dsc "$out"/fwlaunch_*.tar.* "$out"/fwlaunch_*.changes \
    "$out"/fwlaunch_*_*.deb "$out"/fwlaunch-dbgsym_*_*.*deb; do
    [ -f "$artifact" ] || { echo "FAIL: the $release build left no $artifact"; exit 1; }
    echo "built $(basename "$artifact") on $release"
done

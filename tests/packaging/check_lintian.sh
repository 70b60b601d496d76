#!/bin/sh
# Runs the lintian of a Debian RELEASE, in a clean chroot of it
# (chroot_lib.sh) as an unprivileged user, on the .changes that
# build_in_chroot.sh left in OUT_DIR, which names the source package and
# both binary packages. It must be silent with every tag it can show:
# errors, warnings, informational, pedantic and experimental ones. A tag
# that is right to ignore goes into an override with the reason beside
# it (debian/source/lintian-overrides, debian/fwlaunch.lintian-overrides).
#   check_lintian.sh RELEASE OUT_DIR
set -eu
release=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/chroot_lib.sh"
changes=$(cd "$out" && ls fwlaunch_*.changes)
work=$(mktemp -d "${TMPDIR:-/var/tmp}/fwlaunch-lintian-$release.XXXXXX")
trap 'ci_remove "$work/chroot"; rm -rf "$work"' EXIT
chmod 755 "$out"

ci_chroot "$release" lintian "$work/chroot" lintian || { echo "FAIL: no $release chroot"; exit 1; }
status=0
ci_run "$work/chroot" --bind "$out" /packages -- sh -c '
    useradd --create-home checker
    cd /home/checker
    dpkg-query -W -f "\${Version}\n" lintian > lintian.version
    runuser -u checker -- lintian --fail-on none --pedantic --display-info --display-experimental \
        "/packages/$1" > lintian.log 2>&1 || echo "lintian exited with $?" >> lintian.log
    cat lintian.version lintian.log' sh "$changes" > "$work/log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/log"; echo "FAIL: could not run lintian in the $release chroot"; exit 1; }

# Debian 12's lintian, older than the package, says two things that an
# override cannot silence without making Debian 13's lintian speak
# (unused-override): that it knows Policy only up to 4.6.2 (the package
# follows 4.7.2, Debian 13's), and that the override in
# debian/fwlaunch.lintian-overrides is unused (its check looks for udev
# rules under /lib alone). These lines, and nothing else, are expected.
: > "$work/expected"
if [ "$release" = bookworm ]; then
    printf '%s\n' '^W: fwlaunch source: newer-standards-version 4\.7\.2 \(current is 4\.6\.2\)$' \
        '^I: fwlaunch: unused-override appstream-metadata-missing-modalias-provide( .*)?$' \
        '^N: 0 hints overridden; 1 unused override$' > "$work/expected"
fi
version=$(head -n 1 "$work/log")
sed 1d "$work/log" > "$work/said"
if [ -s "$work/expected" ]; then
    grep -vE -f "$work/expected" "$work/said" > "$work/unexpected" || true
else
    cp "$work/said" "$work/unexpected"
fi
if [ -s "$work/unexpected" ]; then
    cat "$work/unexpected"
    echo "FAIL: lintian $version of $release is not silent on $changes"
    exit 1
fi
if [ -s "$work/said" ]; then
    sed 's/^/expected: /' "$work/said"
fi
echo "lintian: ok (lintian $version of $release, --pedantic --display-info --display-experimental:" \
    "$(wc -l < "$work/said") expected lines)"

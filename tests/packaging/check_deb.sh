#!/bin/sh
# Checks the contents and the control fields of the Debian package that
# build_deb.sh left in DEB_DIR.
#   check_deb.sh DEB_DIR UDEV_RULES_DIR VERSION
set -eu
deb_dir=$1 rules_dir=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

set -- "$deb_dir"/*.deb
[ -f "$1" ] || { echo "FAIL: no .deb in $deb_dir"; exit 1; }
deb=$1

case $rules_dir in
    /*) rules="$rules_dir/70-ondrix-fwlaunch.rules" ;;
    *) rules="/usr/$rules_dir/70-ondrix-fwlaunch.rules" ;;
esac

# The launcher, its manual page, the rules, the changelog and the
# copyright file: no simulator, no tests.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort > "$tmp/files"
for expected in /usr/bin/fwlaunch "$rules" /usr/share/man/man1/fwlaunch.1.gz \
    /usr/share/doc/fwlaunch/changelog.gz /usr/share/doc/fwlaunch/copyright; do
    grep -qx "$expected" "$tmp/files" || fail "$expected is not in the package"
done
count=$(wc -l < "$tmp/files")
[ "$count" -eq 5 ] || { fail "the package holds $count files, not 5:"; cat "$tmp/files"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = fwlaunch ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for dep in libhidapi-hidraw0 dfu-util libc6; do
    case ", $depends," in
        *", $dep,"* | *", $dep ("*) ;;
        *) fail "Depends ($depends) does not name $dep" ;;
    esac
done

# The latest changelog entry is the packaged version.
dpkg-deb -x "$deb" "$tmp/root"
gzip -dc "$tmp/root/usr/share/doc/fwlaunch/changelog.gz" > "$tmp/changelog"
entry=$(dpkg-parsechangelog -l "$tmp/changelog" -S Version 2>&1) || fail "changelog: $entry"
[ "$entry" = "$version" ] || fail "the latest changelog entry is '$entry', not $version"

[ "$failed" -eq 0 ] && echo "deb: ok ($(basename "$deb"): Depends: $depends)"
exit "$failed"

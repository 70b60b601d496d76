#!/bin/sh
# Builds the Debian package with CPack and checks its contents and its
# control fields.
#   check_deb.sh BUILD_DIR UDEV_RULES_DIR VERSION
set -eu
build=$1 rules_dir=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp" > "$tmp/log" 2>&1 ||
    { cat "$tmp/log"; echo "FAIL: cpack -G DEB"; exit 1; }
set -- "$tmp"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { cat "$tmp/log"; echo "FAIL: expected one .deb in $tmp"; exit 1; }
deb=$1

case $rules_dir in
    /*) rules="$rules_dir/70-ondrix-fwlaunch.rules" ;;
    *) rules="/usr/$rules_dir/70-ondrix-fwlaunch.rules" ;;
esac

# Only the launcher, its manual page and the rules: no simulator, no tests.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort > "$tmp/files"
for expected in /usr/bin/fwlaunch "$rules"; do
    grep -qx "$expected" "$tmp/files" || fail "$expected is not in the package"
done
grep -qx '/usr/share/man/man1/fwlaunch\.1\(\.gz\)\?' "$tmp/files" ||
    fail "the manual page is not in the package"
count=$(wc -l < "$tmp/files")
[ "$count" -eq 3 ] || { fail "the package holds $count files, not 3:"; cat "$tmp/files"; }

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

[ "$failed" -eq 0 ] && echo "deb: ok ($(basename "$deb"): Depends: $depends)"
exit "$failed"

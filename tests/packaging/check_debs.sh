#!/bin/sh
# Checks the contents and the control fields of the packages that
# build_in_chroot.sh left in OUT_DIR: the launcher's and its debug symbols'.
#   check_debs.sh OUT_DIR VERSION SOURCE_DIR
set -eu
out=$1 version=$2 src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

deb=$(ls "$out"/fwlaunch_*_*.deb)
dbgsym=$(ls "$out"/fwlaunch-dbgsym_*_*.*deb)
rules=70-ondrix-fwlaunch.rules

# The launcher, its manual page, the udev rules (under /usr/lib on every
# release), the bash completion, the lintian override, the changelog and
# the copyright file: no simulator, no tests.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort > "$tmp/files"
printf '%s\n' /usr/bin/fwlaunch "/usr/lib/udev/rules.d/$rules" /usr/share/man/man1/fwlaunch.1.gz \
    /usr/share/bash-completion/completions/fwlaunch /usr/share/lintian/overrides/fwlaunch \
    /usr/share/doc/fwlaunch/changelog.gz /usr/share/doc/fwlaunch/copyright | sort > "$tmp/expected"
if ! cmp -s "$tmp/files" "$tmp/expected"; then
    fail "the package's files differ from the expected ones (-expected +packaged):"
    diff "$tmp/expected" "$tmp/files" | sed -n 's/^</-/p; s/^>/+/p'
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = fwlaunch ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
depends=$(field Depends)
for dep in libhidapi-hidraw0 libudev1 dfu-util libc6; do
    case ", $depends," in
        *", $dep,"* | *", $dep ("*) ;;
        *) fail "Depends ($depends) does not name $dep" ;;
    esac
done

dpkg-deb -x "$deb" "$tmp/root"
cmp -s "$tmp/root/usr/lib/udev/rules.d/$rules" "$src/data/$rules" || fail "the packaged udev rules differ"
cmp -s "$tmp/root/usr/share/bash-completion/completions/fwlaunch" "$src/data/bash-completion/fwlaunch" ||
    fail "the packaged bash completion is not data/bash-completion/fwlaunch"
gzip -dc "$tmp/root/usr/share/doc/fwlaunch/changelog.gz" | cmp -s - "$src/debian/changelog" ||
    fail "the packaged changelog is not debian/changelog"
gzip -dc "$tmp/root/usr/share/man/man1/fwlaunch.1.gz" | cmp -s - "$src/doc/fwlaunch.1" ||
    fail "the packaged manual page is not doc/fwlaunch.1"
# The launcher is not run here: built on another release it may need a
# newer C library than this machine's. The build runs its --version, and
# autopkgtest and the install on the other release run it where it
# belongs.

# The debug symbols: the launcher's, found by its build ID.
build_id=$(readelf -n "$tmp/root/usr/bin/fwlaunch" | sed -n 's/^ *Build ID: //p')
[ -n "$build_id" ] || fail "the packaged launcher has no build ID"
dpkg-deb -c "$dbgsym" | grep "usr/lib/debug/.build-id/$(echo "$build_id" | cut -c1-2)/$(echo "$build_id" | cut -c3-).debug\$" > /dev/null ||
    fail "$(basename "$dbgsym") holds no debug symbols for build ID $build_id"
[ "$(dpkg-deb -f "$dbgsym" Depends)" = "fwlaunch (= $version)" ] ||
    fail "$(basename "$dbgsym") depends on '$(dpkg-deb -f "$dbgsym" Depends)'"

[ "$failed" -eq 0 ] && echo "packages: ok ($(basename "$deb"), $(basename "$dbgsym"); Depends: $depends)"
exit "$failed"

#!/bin/sh
# Builds the binary packages twice with reprotest, the second build
# varied in everything reprotest varies on this machine but the user (that
# needs a second user and sudo): build path, time (faketime), time zone,
# locale, umask, environment, home folder, PATH, kernel name (setarch),
# address-space randomisation, CPU count, file order (disorderfs, which
# needs FUSE) and host and domain name (a UTS namespace, which needs
# root). The .debs must come out byte for byte the same.
#   check_reprotest.sh SOURCE_DIR WORK_DIR
set -eu
src=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
sh "$(dirname "$0")/copy_source.sh" "$src" "$work/fwlaunch"

vary=+all,-user_group
if [ ! -c /dev/fuse ] || ! command -v disorderfs > /dev/null; then
    echo "no FUSE: the file order is not varied"
    vary=$vary,-fileordering
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the host and domain name are not varied"
    vary=$vary,-domain_host
fi

status=0
(cd "$work" && reprotest --vary="$vary" --store-dir=artifacts fwlaunch) \
    > "$work/reprotest.log" 2>&1 || status=$?
grep '^INFO:reprotest:build "\|^INFO:reprotest.build:' "$work/reprotest.log" || true
sed -n '/^=====/,$p' "$work/reprotest.log"
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/reprotest.log"
    echo "FAIL: reprotest --vary=$vary (status $status; artifacts and diff in $work/artifacts)"
    exit 1
fi
echo "reprotest: ok (--vary=$vary)"

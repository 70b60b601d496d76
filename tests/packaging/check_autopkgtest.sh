#!/bin/sh
# Runs the package's own tests (debian/tests) with autopkgtest against
# the packages build_package.sh left in OUT_DIR, installed on this
# machine (the null testbed; needs root). The package is purged again
# afterwards; a fwlaunch that was installed before is left alone and the
# check skipped. simulated-update is left out: it builds the simulator
# in the test bed, which takes too long here, and the device tests run
# the same update on the launcher of the build folder.
#   check_autopkgtest.sh OUT_DIR
set -eu
out=$1
skip=77
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: autopkgtest installs the package on this machine, which needs root"
    exit "$skip"
fi
if dpkg-query -W -f '${db:Status-Status}' fwlaunch 2> /dev/null | grep -qvx 'not-installed'; then
    echo "SKIP: fwlaunch is installed on this machine already"
    exit "$skip"
fi

deb=$(ls "$out"/fwlaunch_*_*.deb)
dsc=$(ls "$out"/fwlaunch_*.dsc)
trap 'dpkg --purge fwlaunch > /dev/null 2>&1 || true' EXIT
status=0
autopkgtest --skip-test=simulated-update "$deb" "$dsc" -- null > "$out/autopkgtest.log" 2>&1 || status=$?
sed -n '/@@@@ summary/,$p' "$out/autopkgtest.log" | grep -v '^autopkgtest \[.*Binaries' || true
if [ "$status" -ne 0 ]; then
    grep -v '^(Reading database' "$out/autopkgtest.log" | tail -n 60
    echo "FAIL: autopkgtest (status $status)"
    exit 1
fi
echo "autopkgtest: ok"

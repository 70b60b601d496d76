#!/bin/sh
# Runs hardening-check on the launcher in the Debian package that
# build_in_chroot.sh left in OUT_DIR: it must find a position-independent
# executable, the stack protector, fortified functions, read-only
# relocations and immediate binding. Its other findings are shown but do
# not count: control-flow protection needs every object linked in to
# carry it, C library start files included, and stack-clash probes only
# show where a function has a large stack frame.
#   check_hardening.sh OUT_DIR
set -eu
out=$1
set -- "$out"/fwlaunch_*_*.deb
[ -f "$1" ] || { echo "FAIL: no fwlaunch .deb in $out"; exit 1; }
deb=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

dpkg-deb -x "$deb" "$tmp/root"
# Its exit status also counts the findings left out here.
hardening-check "$tmp/root/usr/bin/fwlaunch" > "$tmp/report" 2>&1 || true
cat "$tmp/report"
for protection in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
    "Read-only relocations" "Immediate binding"; do
    grep -q "^ $protection: yes" "$tmp/report" || fail "$protection: not yes"
done

[ "$failed" -eq 0 ] && echo "hardening: ok"
exit "$failed"

#!/bin/sh
# Runs lintian on the .changes that build_package.sh left in OUT_DIR,
# which names the source package and both binary packages. Any error
# (E:) or warning (W:) fails; the informational (I:), pedantic (P:) and
# experimental (X:) tags it also asks for are shown, and should be fixed
# or explained in an override with a comment.
#   check_lintian.sh OUT_DIR
set -eu
out=$1
changes=$(ls "$out"/fwlaunch_*.changes)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# --fail-on none: the exit status then only says whether lintian ran.
lintian --fail-on none --pedantic --info --display-experimental "$changes" > "$log" 2>&1 ||
    { cat "$log"; echo "FAIL: lintian could not check $changes"; exit 1; }
grep -v '^running with root privileges' "$log" || true
if grep -q '^[EW]: ' "$log"; then
    echo "FAIL: lintian reports errors or warnings"
    exit 1
fi
echo "lintian: ok ($(grep -c '^[IPX]: ' "$log") informational, pedantic or experimental tags)"

#!/bin/sh
# Checks the udev rules file's name: udev reads only *.rules, and the
# uaccess tag works only when it is set before 73-seat-late.rules turns it
# into the seat user's access. What the rules do is checked by the real
# udevd in the kernel tier (tests/kernel).
#   check_udev_rules.sh RULES_FILE
set -eu
name=$(basename "$1")
case $name in
    *.rules) ;;
    *) echo "FAIL: $name does not end in .rules; udev ignores it"; exit 1 ;;
esac
first=$(printf '%s\n%s\n' "$name" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
[ "$first" = "$name" ] || { echo "FAIL: $name sorts after 73-seat-late.rules"; exit 1; }
echo "udev rules: ok ($name comes before 73-seat-late.rules)"

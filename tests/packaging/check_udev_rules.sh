#!/bin/sh
# Checks the udev rules file: its name puts it ahead of the seat rules,
# its syntax is sound, and it gives the local user the two device nodes
# that a firmware update opens (the hidraw node in normal mode, the USB
# device node in bootloader mode) and nothing else.
#   check_udev_rules.sh RULES_FILE
set -eu
rules=$1
here=$(cd "$(dirname "$0")" && pwd)
checker="$here/udev_rules.awk"
devices="$here/devices.umockdev"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# uaccess only works when the tag is set before 73-seat-late.rules runs.
name=$(basename "$rules")
case $name in *.rules) ;; *) fail "$name does not end in .rules; udev ignores it" ;; esac
first=$(printf '%s\n%s\n' "$name" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
[ "$first" = "$name" ] || fail "$name sorts after 73-seat-late.rules"

# The checker itself: each of these lines has a fault udev refuses or
# silently ignores, and must be rejected.
n=0
while IFS= read -r bad; do
    n=$((n + 1))
    printf '%s\n' "$bad" > "$tmp/bad$n.rules"
    if awk -f "$checker" "$tmp/bad$n.rules" > "$tmp/out" 2>&1 ||
        ! grep -q "^$tmp/bad$n.rules:1: " "$tmp/out"; then
        fail "checker did not reject: $bad"
        cat "$tmp/out"
    fi
done <<'BAD'
SUBSYSTEM=="hidraw" ATTRS{idVendor}=="040e", TAG+="uaccess"
SUBSYSTEM=="hidraw", ATTRS{idVendor}="040e", TAG+="uaccess"
SUBSYSTEM=="hidraw", ATTRS=="040e", TAG+="uaccess"
SUBSYSTEM{x}=="hidraw", TAG+="uaccess"
SUBSYSTEM=="hidraw", ATTRS{idVendor}=="040e, TAG+="uaccess"
SUBSYSTEM=="hidraw", ATTRS{idVendor}==040e, TAG+="uaccess"
SUBSYSTEMS=="hidraw", IDVENDOR=="040e", TAG+="uaccess"
SUBSYSTEM=="hidraw", ATTRS{idVendor}=="040e",
SUBSYSTEM=="hidraw", ATTRS{idVendor}=="040e"
SUBSYSTEM=="usb", GOTO="nowhere"
BAD
printf '%s\n' 'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", \' \
    '  ATTR{idVendor}=="040e", TAG+="uaccess"' > "$tmp/good.rules"
awk -f "$checker" "$tmp/good.rules" || fail "checker rejected a sound rule"

# The rules file.
if ! awk -f "$checker" "$rules"; then
    fail "syntax of $rules"
    exit 1
fi

expect() { # expect SYSPATH yes|no WHAT
    tags=$(awk -v devices="$devices" -v syspath="/devices/pci0000:00/0000:00:14.0/usb1/$1" \
        -f "$checker" "$rules") || { fail "could not evaluate $3"; return; }
    case " $tags " in
        *" uaccess "*) got=yes ;;
        *) got=no ;;
    esac
    [ "$got" = "$2" ] || fail "$3: uaccess expected $2, got $got ($tags)"
}
expect 1-2/1-2:1.0/0003:040E:F408.0003/hidraw/hidraw2 yes "hidraw node of 040e:f408"
expect 1-3 yes "USB device node of 040e:f003"
expect 1-4/1-4:1.2/0003:046D:C52B.0005/hidraw/hidraw4 no "hidraw node of 046d:c52b"
expect 1-2 no "USB device node of 040e:f408"
expect 1-4 no "USB device node of 046d:c52b"
expect 1-3/1-3:1.0 no "interface of 040e:f003"

[ "$failed" -eq 0 ] && echo "udev rules: ok"
exit "$failed"

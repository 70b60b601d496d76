#!/bin/sh
# The bash completion of fwlaunch, sourced into bash beside
# bash-completion's own functions, with a stand-in fwlaunch on PATH that
# lists three devices as `fwlaunch --list` does (one without a port, one
# without a serial number): what COMPREPLY holds after a TAB at each place.
#   check_bash_completion.sh SCRIPT
set -eu
script=$(realpath "$1")
main=/usr/share/bash-completion/bash_completion
[ -f "$main" ] || { echo "FAIL: $main is not installed (package bash-completion)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/bin" "$tmp/images"
cat > "$tmp/bin/fwlaunch" <<'STANDIN'
#!/bin/sh
[ "$1" = --list ] || exit 2
if [ -e "$(dirname "$0")/none-attached" ]; then
    echo "don't found any ondrix hid device"
    echo "please check if you has plun in a ondrix usb device"
    exit 1
fi
echo "1-1  normal  040e:f408  /dev/hidraw3  BYST0001"
echo "1-10.2  bootloader  040e:f003  /dev/bus/usb/001/017  -"
echo "-  normal  040e:f408  /dev/hidraw5  AB:CD:01"
STANDIN
chmod +x "$tmp/bin/fwlaunch"
touch "$tmp/images/update.bin" "$tmp/images/update.dfu"

# complete LINE: the candidates, one a line, for a TAB at the end of LINE
# (in the folder of the images).
complete_line() {
    (cd "$tmp/images" && PATH="$tmp/bin:$PATH" bash -c '
        . "$1"; . "$2"
        line=$3
        eval "COMP_WORDS=($line)"
        case $line in *" ") COMP_WORDS+=("") ;; esac
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE=$line COMP_POINT=${#line}
        prev=
        [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}
        _fwlaunch fwlaunch "${COMP_WORDS[COMP_CWORD]}" "$prev"
        printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' sh "$main" "$script" "$1")
}
failed=0
expect() { # expect LINE CANDIDATE...
    line=$1; shift
    got=$(complete_line "$line" | tr '\n' ' ' | sed 's/ $//')
    want=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" != "$want" ]; then
        echo "FAIL: 'fwlaunch ${line#fwlaunch }<TAB>' offers '$got', not '$want'"
        failed=1
    fi
}

expect 'fwlaunch -' --all --count --help --jobs --json --list --log-dir --port --serial --timeout --version --watch
expect 'fwlaunch --p' --port
expect 'fwlaunch --s' --serial
expect 'fwlaunch --port ' 1-1 1-10.2
expect 'fwlaunch --port 1-1' 1-1 1-10.2
expect 'fwlaunch --port 1-1.' ''
expect 'fwlaunch --port=1-1' 1-1 1-10.2
expect 'fwlaunch --all --port ' 1-1 1-10.2
expect 'fwlaunch --serial ' AB:CD:01 BYST0001
expect 'fwlaunch --serial BY' BYST0001
expect 'fwlaunch --jobs ' ''
expect 'fwlaunch --list ' ''
expect 'fwlaunch ' update.bin update.dfu
expect 'fwlaunch --port 1-1 update.b' update.bin
expect 'fwlaunch --all --jobs 2 ' update.bin update.dfu
expect 'fwlaunch --watch --timeout ' ''
expect 'fwlaunch --watch --log-dir ' ''
touch "$tmp/bin/none-attached"
expect 'fwlaunch --port ' ''
expect 'fwlaunch --serial ' ''

[ "$failed" -eq 0 ] && echo "bash completion: ok"
exit "$failed"

#!/bin/sh
# Copies the source tree as a clean clone would have it into DEST: the
# files git tracks or would track, with their contents of the moment, and
# no build folder. Outside git, everything but build*/ and obj-*/.
#   copy_source.sh SOURCE_DIR DEST
set -eu
src=$1 dest=$2
mkdir -p "$dest"
if git -C "$src" rev-parse --show-toplevel > /dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && tar --null --no-recursion -T - -cf -) | tar -xf - -C "$dest"
else
    (cd "$src" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | tar -xf - -C "$dest"
fi

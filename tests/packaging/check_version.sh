#!/bin/sh
# The package's version, from debian/changelog, is the project's version
# that --version prints (project() in CMakeLists.txt). The package is
# native: its packaging is part of the project, so the version has no
# Debian revision.
#   check_version.sh SOURCE_DIR VERSION
set -eu
src=$1 version=$2
changelog=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version 2>&1) ||
    { echo "FAIL: debian/changelog: $changelog"; exit 1; }
format=$(cat "$src/debian/source/format")
[ "$format" = "3.0 (native)" ] || { echo "FAIL: debian/source/format is '$format'"; exit 1; }
[ "$changelog" = "$version" ] ||
    { echo "FAIL: debian/changelog is at $changelog, CMakeLists.txt at $version"; exit 1; }
echo "version: ok ($version in CMakeLists.txt and debian/changelog)"

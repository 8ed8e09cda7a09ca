#!/usr/bin/env bash
# The installed orvelsdk.pc finds its prefix from its own place: a tree laid
# out as `cmake --install --prefix X` lays it out, then moved elsewhere, still
# compiles and links the C example.
#   pkgconfig_test.sh PC_FILE LIBDIR(relative) INCLUDEDIR(relative) SOURCE_DIR LIBRARY_FILE
set -euo pipefail
pkgconfig=${PKG_CONFIG:-pkg-config}
pc=$1 libdir=$2 includedir=$3 src=$4 library=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/first
mkdir -p "$first/$libdir/pkgconfig" "$first/$includedir/orvelsdk"
cp "$pc" "$first/$libdir/pkgconfig/"
cp "$src/include/orvelsdk/orvelsdk.h" "$src/include/orvelsdk/orvelsdk_results.h" "$first/$includedir/orvelsdk/"
cp "$library" "$first/$libdir/liborvelsdk.so"
mv "$first" "$work/moved"
prefix=$work/moved

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig PKG_CONFIG_LIBDIR=
got_prefix=$(cd "$($pkgconfig --variable=prefix orvelsdk)" && pwd -P)
[[ $got_prefix == "$(cd "$prefix" && pwd -P)" ]] || { echo "prefix resolves to $got_prefix" >&2; exit 1; }
flags=$($pkgconfig --cflags --libs orvelsdk)
# shellcheck disable=SC2086
cc -std=c11 "$src/examples/hello.c" $flags -o "$work/hello"
echo "pkg-config: $flags"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# rebuild_module.sh SOURCE_DIR TOOLCHAIN BUILD_TYPE GENERATOR MODULE
# Builds the Windows module again, later, from a copy of the sources in
# another folder (another path, another length), and compares it with
# MODULE byte for byte: no build folder, source path or link time may show
# in the image. Only the module is built, with the tests left out.
set -uo pipefail
source_dir=$1
toolchain=$(basename "$2")
build_type=$3
generator=$4
module=$5
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
work=$(mktemp -d /tmp/hushlink-rebuild-XXXXXX)
trap 'rm -rf "$work"' EXIT
copy=$work/another/folder/hushlink-copy
mkdir -p "$copy"
cp -R "$source_dir/CMakeLists.txt" "$source_dir/README.md" "$source_dir/LICENSE" "$source_dir/cmake" "$source_dir/plugin" \
  "$source_dir/host" "$copy/" || fail "could not copy the sources"
cmake -S "$copy" -B "$work/build" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/$toolchain" \
  -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF >"$work/configure.log" 2>&1 ||
  fail "could not configure the copy: $(tail -20 "$work/configure.log")"
cmake --build "$work/build" --target Hushlink >"$work/build.log" 2>&1 ||
  fail "could not build the copy's module: $(tail -20 "$work/build.log")"
rebuilt=$work/build/$(basename "$module")
cmp "$module" "$rebuilt" ||
  fail "$(basename "$module") built again from $copy differs from $module"
echo "$(basename "$module"): the same $(stat -c %s "$module") bytes, built again in $copy"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release archives into dist/: Hushlink-VERSION-win32.zip and
# -win64.zip (Hushlink.dll, the README and the licence), and
# -linux-x86_64.tar.gz and -linux-i686.tar.gz (libHushlink.so, hushlink-host
# and its manual page, the README and the licence), every file at the top of
# its archive.
#
# Packaging one commit again, anywhere, any time, gives the same bytes: each
# archive holds its build's "release" install component, stripped, its files
# in name order, owned by root, with one time for everything in it (the
# files' times and the stripped images' header stamps): SOURCE_DATE_EPOCH
# when set, else the last commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all
scripts/build.sh linux linux32 win32 win64 >/dev/null
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

stage=$(mktemp -d /tmp/hushlink-package-XXXXXX)
trap 'rm -rf "$stage"' EXIT
mkdir -p dist
for dir in build build-linux32 build-win32 build-win64; do
  archive=$(<"$dir/release-archive-name")
  files=$stage/$dir
  SOURCE_DATE_EPOCH=$epoch cmake --install "$dir" --component release --strip \
    --prefix "$files" >/dev/null
  touch -h -d "@$epoch" "$files"/*
  mapfile -t names < <(cd "$files" && LC_ALL=C ls -A)
  rm -f "dist/$archive"
  case $archive in
    *.tar.gz)
      tar -C "$files" --create --format=ustar --owner=0 --group=0 --numeric-owner \
        --mtime="@$epoch" -- "${names[@]}" | gzip -9 --no-name >"dist/$archive"
      ;;
    *.zip)
      # Without the extra fields (Unix owner, access time); the DOS times
      # are local times, so the zone is fixed.
      (cd "$files" && TZ=UTC zip -X -9 -q "$OLDPWD/dist/$archive" -- "${names[@]}")
      ;;
  esac
done
ls -1 dist

#!/usr/bin/env bash
# build-web.sh - builds setuphdr's web page (the core in WebAssembly, with
# Debian's Emscripten) and puts it into OUTDIR, index.html first among its
# files; then prints the folder's size and its gzipped size.
#
#   scripts/build-web.sh OUTDIR [CMAKE-ARGS...]
#
# Installs what it needs with apt-get (as root): emscripten, cmake and
# dpkg-dev. zlib and expat are built from Debian's source packages, fetched
# once into build/web-src (SETUPHDR_WEB_SOURCES); the CMake build folder is
# build/web (SETUPHDR_WEB_BUILD), where cpack then makes the release zip
# (cpack --config build/web/CPackConfig.cmake). Nothing but Debian's
# packages is fetched.
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 OUTDIR [CMAKE-ARGS...]" >&2
  exit 2
fi
out=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
need_packages emscripten cmake make dpkg-dev gzip

build=${SETUPHDR_WEB_BUILD:-$root/build/web}
sources=${SETUPHDR_WEB_SOURCES:-$root/build/web-src}
jobs=$(nproc 2>/dev/null || echo 2)

# Debian's emcc runs its optimizer under Node, which needs Debian's acorn.
if ! node -e 'require("acorn")' >/dev/null 2>&1; then
  export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
fi

zlib_source=$(need_source zlib "$sources")
expat_source=$(need_source expat "$sources")

# zlib for WebAssembly: the library's own files, compiled as they are, with
# the flags of the core (web/WebPage.cmake).
zlib_build=$build/zlib
if [ ! -f "$zlib_build/libz.a" ] ||
   [ -n "$(find "$zlib_source" -name '*.[ch]' -newer "$zlib_build/libz.a" -print -quit)" ]; then
  echo "== building zlib from $zlib_source"
  rm -rf "$zlib_build"
  mkdir -p "$zlib_build"
  for name in adler32 compress crc32 deflate infback inffast inflate \
              inftrees trees uncompr zutil; do
    emcc -Os -mbulk-memory -DNDEBUG -I"$zlib_source" -c "$zlib_source/$name.c" \
      -o "$zlib_build/$name.o"
  done
  emar rcs "$zlib_build/libz.a" "$zlib_build"/*.o
fi

emcmake cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DSETUPHDR_BUILD_TESTS=OFF \
  -DZLIB_INCLUDE_DIR="$zlib_source" -DZLIB_LIBRARY="$zlib_build/libz.a" \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" "$@" >/dev/null
cmake --build "$build" -j"$jobs"
cmake --install "$build" --prefix "$out" >/dev/null

# The figures the page is held to: under 400 KiB, gzipped under 200 KiB.
total=0
packed=0
for file in "$out"/*; do
  total=$((total + $(stat -c %s "$file")))
  packed=$((packed + $(gzip -9 -n -c "$file" | wc -c)))
done
echo "== page in $out: $total bytes ($((total / 1024)) KiB), gzipped $packed bytes ($((packed / 1024)) KiB)"

#!/usr/bin/env bash
# demo.sh - builds setuphdr and shows the header of the bundled sample setup
# file, then the same setup file inside the bundled sample cabinet; the build
# generates both with the project's own code, and lists both in one table.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages cmake make g++ zlib1g-dev libexpat1-dev

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
echo "\$ build/demo/setuphdr d build/demo/sample.000"
build/demo/setuphdr d build/demo/sample.000
echo "\$ build/demo/setuphdr d build/demo/sample.cab"
build/demo/setuphdr d build/demo/sample.cab
echo "\$ build/demo/setuphdr l build/demo"
build/demo/setuphdr l build/demo

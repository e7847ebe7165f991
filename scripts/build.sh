#!/usr/bin/env bash
# Builds the three trees: native (unit tests), i686 (dist/win32, the product) and x86_64
# (dist/win64, the same sources for Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native
for triplet in i686 x86_64; do
    cmake -S . -B "build/$triplet" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet-w64-mingw32.cmake" >/dev/null
    cmake --build "build/$triplet"
done

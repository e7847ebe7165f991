#!/usr/bin/env bash
# Builds the three trees: native (unit tests), i686 (dist/win32, the product) and x86_64
# (dist/win64, the same sources for Wine). Says what it builds and how long it took; the
# compilers' output goes to build/build.log, and its end is shown when a build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
log=build/build.log
: >"$log"
build_tree() {
    local tree=$1 type=$2 toolchain=${3:-} started options
    started=$(date +%s)
    options=(-DCMAKE_BUILD_TYPE="$type")
    # The toolchain is given only when the tree is first configured: CMake keeps it in its cache.
    [[ -n "$toolchain" && ! -f "build/$tree/CMakeCache.txt" ]] && options+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    echo -n "Building build/$tree ... "
    if ! { cmake -S . -B "build/$tree" -G Ninja "${options[@]}" && cmake --build "build/$tree"; } >>"$log" 2>&1; then
        echo "failed:"
        tail -n 40 "$log"
        exit 1
    fi
    echo "$(( $(date +%s) - started )) s"
}
build_tree native Debug
for triplet in i686 x86_64; do
    build_tree "$triplet" Release "cmake/$triplet-w64-mingw32.cmake"
done

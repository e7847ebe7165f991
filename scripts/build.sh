#!/usr/bin/env bash
# Builds the three trees: native (unit tests), i686 (dist/win32, the product) and x86_64
# (dist/win64, the same sources for Wine). Says what it builds and how long it took; the
# compilers' output goes to build/build.log, and its end is shown when a build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# KREV_BUILD_DIR and KREV_DIST_DIR move the trees and the shipped files (a signed build, or a
# later version, beside the usual one); KREV_BUILD_TREES builds some of the trees only.
build_dir=${KREV_BUILD_DIR:-build}
trees=${KREV_BUILD_TREES:-native i686 x86_64}
mkdir -p "$build_dir"
log=$build_dir/build.log
: >"$log"
# The signing settings (docs/signing.md) go from the environment to each Windows tree's cache.
# An environment that names a certificate gives the whole setting: what it leaves out is cleared,
# so that the cache keeps nothing of another route or an earlier time-stamp server.
settings=()
if [[ -n "${KREV_SIGNING_PKCS12:-}${KREV_SIGNING_PKCS11_MODULE:-}" ]]; then
    for name in KREV_SIGNING_PKCS12 KREV_SIGNING_PASSWORD_FILE KREV_SIGNING_PKCS11_MODULE KREV_SIGNING_KEY \
                KREV_SIGNING_CERT KREV_TIMESTAMP_URL; do
        settings+=("-D$name=${!name:-}")
    done
fi
[[ -n "${KREV_DIST_DIR:-}" ]] && settings+=("-DKREV_DIST_DIR=$KREV_DIST_DIR")
# KREV_VERSION builds another version (a later one, for the upgrade tests); without it, the
# default of CMakeLists.txt, also in a tree that an earlier run built with another.
if [[ -n "${KREV_VERSION:-}" ]]; then settings+=("-DKREV_VERSION=$KREV_VERSION"); else settings+=(-UKREV_VERSION); fi
build_tree() {
    local tree=$1 type=$2 toolchain=${3:-} started options
    started=$(date +%s)
    options=(-DCMAKE_BUILD_TYPE="$type")
    # The toolchain is given only when the tree is first configured: CMake keeps it in its cache.
    [[ -n "$toolchain" && ! -f "$build_dir/$tree/CMakeCache.txt" ]] && options+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    [[ -n "$toolchain" ]] && options+=("${settings[@]}")
    echo -n "Building $build_dir/$tree ... "
    if ! { cmake -S . -B "$build_dir/$tree" -G Ninja "${options[@]}" && cmake --build "$build_dir/$tree"; } >>"$log" 2>&1; then
        echo "failed:"
        tail -n 40 "$log"
        exit 1
    fi
    echo "$(( $(date +%s) - started )) s"
}
for tree in $trees; do
    case $tree in
        native) build_tree native Debug ;;
        i686 | x86_64) build_tree "$tree" Release "cmake/$tree-w64-mingw32.cmake" ;;
        *) echo "No such tree: $tree (native, i686, x86_64)" >&2; exit 1 ;;
    esac
done
for tree in $trees; do
    settings=$build_dir/$tree/signing_settings.txt
    [[ -f "$settings" ]] || continue
    if [[ "$(head -n 1 "$settings")" == unsigned ]]; then
        echo "The programs are unsigned: no signing certificate was given (docs/signing.md)."
    else
        echo "Every shipped file is signed$(grep -q "KREV_TIMESTAMP_URL='.\+'" "$settings" && echo " and time-stamped")."
    fi
    break
done

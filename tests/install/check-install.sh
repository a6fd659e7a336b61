#!/usr/bin/env bash
# Installs a build tree into a fresh prefix, builds the client in client/ against it twice (CMake's
# find_package, and a plain compiler line from pkg-config) and runs both. The prefix and the
# client builds live in a scratch folder under WORK_PARENT, removed on exit. CXXFLAGS and LDFLAGS
# (a sanitizer's, say) reach both client builds: CMake starts its flags from them.
#
# Usage: check-install.sh BUILD_DIR WORK_PARENT CMAKE GENERATOR CXX PKG_CONFIG [TOOLCHAIN_FILE]
#        [-- EMULATOR...]
set -euo pipefail

build=$1 parent=$2 cmake=$3 generator=$4 cxx=$5 pkgconfig=$6
shift 6
toolchain=
if [[ $# -gt 0 && $1 != -- ]]; then toolchain=$1; shift; fi
[[ $# -gt 0 && $1 == -- ]] && shift
emulator=("$@")
client=$(cd "$(dirname "$0")/client" && pwd)

mkdir -p "$parent"
work=$(mktemp -d "$parent/install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
lib=$(find "$prefix" -name libZvPldProxy.so -printf '%h\n' -quit)
[[ -n $lib ]] || { echo "no libZvPldProxy.so under $prefix" >&2; exit 1; }

# A cross build finds packages only below its root path, or where <package>_DIR points: the
# package's own directory, so that the client's run path is the prefix it runs from here.
cross=()
if [[ -n $toolchain ]]; then
    config=$(find "$prefix" -name ZvPldProxyConfig.cmake -printf '%h\n' -quit)
    cross=("-DCMAKE_TOOLCHAIN_FILE=$toolchain" "-DZvPldProxy_DIR=$config")
fi
"$cmake" -S "$client" -B "$work/cmake" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" "${cross[@]}" >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/cmake"

# Only the installed package's .pc files: none of the build machine's.
flags=$(env -u PKG_CONFIG_PATH -u PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR="$lib/pkgconfig" \
    "$pkgconfig" --cflags --libs ZvPldProxy)
# shellcheck disable=SC2086 # flags are lists of words
"$cxx" ${CXXFLAGS:-} -std=c++17 -Wall -Wextra -Werror "$client/main.cpp" -o "$work/pc-client" \
    ${LDFLAGS:-} $flags

# CMake's client and the installed pldctl find the libraries by their run paths, and the
# library its stand-ins by its own; the pkg-config client has none and is given the directory.
echo "cmake/client:"
timeout 60 "${emulator[@]}" "$work/cmake/client"
echo "pc-client:"
LD_LIBRARY_PATH=$lib timeout 60 "${emulator[@]}" "$work/pc-client"
if [[ -x $prefix/bin/pldctl ]]; then
    echo "bin/pldctl:"
    timeout 60 "${emulator[@]}" "$prefix/bin/pldctl" get 1 100
fi

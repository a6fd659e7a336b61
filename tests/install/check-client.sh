#!/usr/bin/env bash
# Builds the client in client/ against an installed ZvPldProxy twice (CMake's find_package, and a
# plain compiler line from pkg-config) and runs both, and the installed pldctl where there is one.
# PREFIX is the installed prefix as seen from here; SYSROOT, when not empty, is the root it was
# unpacked into (PREFIX below it), which pkg-config puts before the paths of the .pc file. The
# client builds live in WORK. CXXFLAGS and LDFLAGS (a sanitizer's, say) reach both client builds.
#
# Usage: check-client.sh PREFIX SYSROOT WORK CMAKE GENERATOR CXX PKG_CONFIG [TOOLCHAIN_FILE]
#        [-- EMULATOR...]
set -euo pipefail

prefix=$1 sysroot=$2 work=$3 cmake=$4 generator=$5 cxx=$6 pkgconfig=$7
shift 7
toolchain=
if [[ $# -gt 0 && $1 != -- ]]; then toolchain=$1; shift; fi
[[ $# -gt 0 && $1 == -- ]] && shift
emulator=("$@")
client=$(cd "$(dirname "$0")/client" && pwd)

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
flags=$(env -u PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR="$sysroot" PKG_CONFIG_LIBDIR="$lib/pkgconfig" \
    "$pkgconfig" --cflags --libs ZvPldProxy)
# shellcheck disable=SC2086 # flags are lists of words
"$cxx" ${CXXFLAGS:-} -std=c++17 -Wall -Wextra -Werror "$client/main.cpp" -o "$work/pc-client" \
    ${LDFLAGS:-} $flags

# CMake's client and the installed pldctl find the libraries by their run paths, and the
# library its stand-ins by its own; the pkg-config client has none and is given the directory, as
# are the packages' library and pldctl (unpacked into SYSROOT), which have none under /usr.
path=()
[[ -z $sysroot ]] || path=(env "LD_LIBRARY_PATH=$lib")
echo "cmake/client:"
timeout 60 "${path[@]}" "${emulator[@]}" "$work/cmake/client"
echo "pc-client:"
LD_LIBRARY_PATH=$lib timeout 60 "${emulator[@]}" "$work/pc-client"
if [[ -x $prefix/bin/pldctl ]]; then
    echo "bin/pldctl:"
    timeout 60 "${path[@]}" "${emulator[@]}" "$prefix/bin/pldctl" get 1 100
fi

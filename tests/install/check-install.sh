#!/usr/bin/env bash
# Installs a build tree into a fresh prefix and checks a client against it (check-client.sh).
# The prefix and the client builds live in a scratch folder under WORK_PARENT, removed on exit.
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

mkdir -p "$parent"
work=$(mktemp -d "$parent/install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
bash "$(dirname "$0")/check-client.sh" "$prefix" "" "$work" "$cmake" "$generator" "$cxx" \
    "$pkgconfig" ${toolchain:+"$toolchain"} -- "${emulator[@]}"

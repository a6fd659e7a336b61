#!/usr/bin/env bash
# As a new user would (root): installs this machine's architecture's packages from PACKAGES with
# apt-get, builds the outside client against them (CMake and pkg-config, nothing of the tree),
# runs it, pldctl and pld-engined from PATH, and removes the packages again, whatever failed.
# Usage: apt-install.sh PACKAGES
set -euo pipefail

arch=$(dpkg --print-architecture)
debs=()
for package in libzvpldproxy1 libzvpldproxy-dev zvpld-sim zvpld-tools; do
    debs+=("$(realpath "$1/${package}_"*"_$arch.deb")")
done
client=$(cd "$(dirname "$0")/../install/client" && pwd)
work=$(mktemp -d)
daemon=
cleanup() {
    [[ -z $daemon ]] || { kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; }
    rm -rf "$work"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq libzvpldproxy1 libzvpldproxy-dev \
        zvpld-sim zvpld-tools >/dev/null
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" \
    >"$work/apt.log" || { cat "$work/apt.log"; exit 1; }
dpkg-query -W -f='${Package} ${Version} ${Status}\n' libzvpldproxy1 libzvpldproxy-dev \
    zvpld-sim zvpld-tools

cmake -S "$client" -B "$work/cmake" -G Ninja >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake" >/dev/null
# shellcheck disable=SC2046 # flags are lists of words
g++ -std=c++17 -Wall -Wextra -Werror "$client/main.cpp" -o "$work/pc-client" \
    $(pkg-config --cflags --libs ZvPldProxy)
"$work/cmake/client"
"$work/pc-client"

pldctl --version
pldctl get 1 100
pld-engined --version
pld-engined --socket "$work/engine.sock" 2>"$work/daemon.log" &
daemon=$!
for _ in $(seq 100); do
    pldctl --engine "unix:$work/engine.sock" get 1 100 2>/dev/null && break
    kill -0 "$daemon" 2>/dev/null || { cat "$work/daemon.log"; exit 1; }
    sleep 0.1
done
pldctl --engine "unix:$work/engine.sock" set 1 101 42

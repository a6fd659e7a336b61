#!/usr/bin/env bash
# As a new user would (root), from this machine's architecture's packages in PACKAGES: installs
# the tools and the stand-ins alone with apt-get and runs pldctl and pld-engined from PATH; then
# the library's packages too, and builds the outside client against them (CMake and pkg-config,
# nothing of the tree) and runs it. Removes the packages again, whatever failed.
# Usage: apt-install.sh PACKAGES
set -euo pipefail

arch=$(dpkg --print-architecture)
deb() { realpath "$1/${2}_"*"_$arch.deb"; }
packages=(zvpld-tools zvpld-sim libzvpldproxy1 libzvpldproxy-dev)
client=$(cd "$(dirname "$0")/../install/client" && pwd)
work=$(mktemp -d)
daemon=
cleanup() {
    [[ -z $daemon ]] || { kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; }
    rm -rf "$work"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null
}
trap cleanup EXIT
install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
        >"$work/apt.log" || { cat "$work/apt.log"; exit 1; }
}

# A workstation's tools: two packages; apt-get brings nothing of the project's besides.
install "$(deb "$1" zvpld-tools)" "$(deb "$1" zvpld-sim)"
if dpkg-query -W -f='${Status}\n' libzvpldproxy1 2>/dev/null | grep -q ' installed$'; then
    echo "the tools brought libzvpldproxy1 with them" >&2
    exit 1
fi
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

# A developer's: the library and its development files, for a client of their own.
install "$(deb "$1" libzvpldproxy1)" "$(deb "$1" libzvpldproxy-dev)"
dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}"
cmake -S "$client" -B "$work/cmake" -G Ninja >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake" >/dev/null
# shellcheck disable=SC2046 # flags are lists of words
g++ -std=c++17 -Wall -Wextra -Werror "$client/main.cpp" -o "$work/pc-client" \
    $(pkg-config --cflags --libs ZvPldProxy)
"$work/cmake/client"
"$work/pc-client"

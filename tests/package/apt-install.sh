#!/usr/bin/env bash
# As a new user would (root), from this machine's architecture's packages in PACKAGES: installs
# the tools and the stand-ins' run-time package alone with apt-get, runs each tool's --version,
# reads each manual page with man -l, runs pldctl and pld-engined from PATH, and sees pldctl name
# the socket of a daemon that is not there and stop at once; then the library's and the
# development packages too, and builds the outside client against them (CMake and pkg-config,
# nothing of the tree) and runs it. Removes the packages it installed again, whatever failed;
# one installed before is someone's: it is not replaced, not removed (exit 77, skipped).
# Usage: apt-install.sh PACKAGES
set -euo pipefail

arch=$(dpkg --print-architecture)
deb() { realpath "$1/${2}_"*"_$arch.deb"; }
packages=(zvpld-tools zvpld-sim libzvpldproxy1 libzvpldproxy-dev zvpld-sim-dev)
client=$(cd "$(dirname "$0")/../install/client" && pwd)
installed() {
    dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
        awk '$NF == "installed" { print $1 }' || true
}
before=$(installed)
if [[ -n $before ]]; then
    echo "skipped: installed already, not replaced, not removed: ${before//$'\n'/ }"
    exit 77
fi
work=$(mktemp -d)
daemon=
cleanup() {
    [[ -z $daemon ]] || { kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; }
    rm -rf "$work"
    # Ours only, none having been there before: apt-get refuses a purge that names a package it
    # does not know.
    local ours
    ours=$(installed)
    # shellcheck disable=SC2086 # a list of names
    [[ -z $ours ]] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $ours >/dev/null
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
for tool in pldctl pld-engined pldweb; do
    [[ $tool != pldweb || -x /usr/bin/pldweb ]] || continue
    "$tool" --version
    page=/usr/share/man/man1/$tool.1.gz
    [[ -f $page ]] || { echo "no manual page of $tool" >&2; exit 1; }
    # man reports groff's warnings on stderr; a page that does not render is a failure.
    if ! text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.log") ||
        [[ -s $work/man.log ]]; then
        cat "$work/man.log" >&2
        echo "$page does not read cleanly" >&2
        exit 1
    fi
    grep -q '^EXIT STATUS' <<<"$text" || { echo "$page has no EXIT STATUS" >&2; exit 1; }
done
pldctl get 1 100
# A daemon that is not there: one line names the socket, and pldctl stops at once with 3.
status=0
timeout 30 pldctl --engine unix:/nonexistent/engine.sock get 1 100 >"$work/missing.out" \
    2>"$work/missing.err" || status=$?
if [[ $status -ne 3 || $(wc -l <"$work/missing.err") -ne 1 ]] ||
    ! grep -F /nonexistent/engine.sock "$work/missing.err"; then
    cat "$work/missing.out" "$work/missing.err" >&2
    echo "pldctl without a daemon: exit status $status, not 3 and one line naming the socket" >&2
    exit 1
fi
pld-engined --socket "$work/engine.sock" 2>"$work/daemon.log" &
daemon=$!
for _ in $(seq 100); do
    pldctl --engine "unix:$work/engine.sock" get 1 100 2>/dev/null && break
    kill -0 "$daemon" 2>/dev/null || { cat "$work/daemon.log"; exit 1; }
    sleep 0.1
done
pldctl --engine "unix:$work/engine.sock" set 1 101 42

# A developer's: the library and its development files, for a client of their own.
install "$(deb "$1" libzvpldproxy1)" "$(deb "$1" libzvpldproxy-dev)" "$(deb "$1" zvpld-sim-dev)"
dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}"
cmake -S "$client" -B "$work/cmake" -G Ninja >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake" >/dev/null
# shellcheck disable=SC2046 # flags are lists of words
g++ -std=c++17 -Wall -Wextra -Werror "$client/main.cpp" -o "$work/pc-client" \
    $(pkg-config --cflags --libs ZvPldProxy)
"$work/cmake/client"
"$work/pc-client"

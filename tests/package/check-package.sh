#!/usr/bin/env bash
# The Debian packages of a build tree, made by CPack into PACKAGES (one file each of the four).
#   build PACKAGES BUILD_DIR: makes them (cpack, after the build).
#   lint PACKAGES: lintian finds no error and no warning that the packages do not override.
#   client PACKAGES WORK_PARENT CMAKE GENERATOR CXX PKG_CONFIG [TOOLCHAIN_FILE] [-- EMULATOR...]:
#     unpacks all but the tools' package into a scratch root (dpkg-deb -x), then builds and runs
#     the outside client against it (tests/install/check-client.sh); then the tools' pldctl.
#   units PACKAGES WORK_PARENT: systemd-analyze verifies the tools' package's systemd units.
#   symbols PACKAGES WORK_PARENT CMAKE NM CXX: dpkg-shlibdeps makes the outside client depend on
#     the library's package of the version that added the newest export it uses: the package's
#     own symbols file, and one written by the same script with one export added later.
set -euo pipefail

what=$1 packages=$2
shift 2
need() {
    command -v "$1" >/dev/null ||
        { echo "$1 is missing: scripts/ensure-packages host installs it" >&2; exit 1; }
}
deb() {
    local found=("$packages"/"$1"_*.deb)
    [[ -f ${found[0]} ]] || { echo "no $1 package in $packages" >&2; exit 1; }
    printf '%s\n' "${found[0]}"
}
scratch() {
    mkdir -p "$1"
    work=$(mktemp -d "$1/package-check.XXXXXX")
    trap 'rm -rf "$work"' EXIT
}

case $what in
build)
    rm -rf "$packages"
    (cd "$1" && cpack -G DEB -B "$packages" >"$1/cpack.log") || { cat "$1/cpack.log"; exit 1; }
    rm -rf "$packages/_CPack_Packages"
    ls "$packages"
    ;;
lint)
    need lintian
    lintian --fail-on error,warning "$packages"/*.deb
    ;;
client)
    scratch "$1"
    shift
    root=$work/root
    for package in libzvpldproxy1 libzvpldproxy-dev zvpld-sim zvpld-tools; do
        dpkg-deb -x "$(deb $package)" "$root"
    done
    # The library package holds the library's run-time files only: no link, no stand-in.
    dpkg-deb -c "$(deb libzvpldproxy1)" | awk '$1 !~ /^d/ {print $6}' | grep '\.so' |
        grep -v '/libZvPldProxy\.so\.1' && { echo "more than the library in its package" >&2; exit 1; }
    bash "$(dirname "$0")/../install/check-client.sh" "$root/usr" "$root" "$work" "$@"
    ;;
units)
    need systemd-analyze
    scratch "$1"
    dpkg-deb -x "$(deb zvpld-tools)" "$work/root"
    # verify runs as the user's manager (%t is its runtime directory), finds the daemon where the
    # package put it and its manual page; it prints what it finds wrong, and warnings fail too.
    mkdir -m 0700 "$work/runtime" "$work/units"
    sed "s#=/usr/bin/#=$work/root/usr/bin/#" "$work/root/usr/lib/systemd/user/pld-engined.service" \
        >"$work/units/pld-engined.service"
    cp "$work/root/usr/lib/systemd/user/pld-engined.socket" "$work/units/"
    out=$(XDG_RUNTIME_DIR=$work/runtime MANPATH=$work/root/usr/share/man \
        systemd-analyze --user verify "$work/units/pld-engined.socket" \
        "$work/units/pld-engined.service" 2>&1) || { echo "$out" >&2; exit 1; }
    [[ -z $out ]] || { echo "$out" >&2; exit 1; }
    echo "systemd-analyze verify: the units are sound"
    ;;
symbols)
    need dpkg-shlibdeps
    scratch "$1"
    cmake=$2 nm=$3 cxx=$4
    source=$(cd "$(dirname "$0")/../.." && pwd)
    cd "$work"
    # dpkg-shlibdeps reads the symbols files of packages being built, in debian/PACKAGE/DEBIAN.
    mkdir debian link
    printf 'Source: client\n\nPackage: client\nArchitecture: any\n' >debian/control
    for package in libzvpldproxy1 zvpld-sim libzvpldproxy-dev; do
        dpkg-deb -R "$(deb $package)" "debian/$package"
    done
    lib=$(dirname debian/libzvpldproxy1/usr/lib/*/libZvPldProxy.so.1)
    sim=$(dirname debian/zvpld-sim/usr/lib/*/libdlog.so)
    ln -s "$work/$lib/libZvPldProxy.so.1" link/libZvPldProxy.so
    "$cxx" -std=c++17 "$source/tests/install/client/main.cpp" -o client \
        -Idebian/libzvpldproxy-dev/usr/include -Idebian/zvpld-sim/usr/include -Llink \
        -Wl,-rpath-link,"$sim" -lZvPldProxy
    depends() {
        dpkg-shlibdeps -O -l"$lib" -l"$sim" client 2>/dev/null |
            grep -o 'libzvpldproxy1 ([^)]*)' || true
    }
    expect() {
        [[ $2 == "$1" ]] || { echo "expected $1, dpkg-shlibdeps found '$2'" >&2; exit 1; }
        echo "client depends on $2"
    }
    grep -q '^libZvPldProxy.so.1 libzvpldproxy1 ' debian/libzvpldproxy1/DEBIAN/symbols ||
        { echo "the library's package has no symbols file for libZvPldProxy.so.1" >&2; exit 1; }
    expect "libzvpldproxy1 (>= 1.0.0)" "$(depends)"
    echo "1.1.0 ZvPldProxy::GetPldInventory(ZvVelInventory*) const" >since
    "$cmake" -DNM="$nm" -DLIBRARY="$lib/libZvPldProxy.so.1" \
        -DLIST="$source/abi/libZvPldProxy.symbols" -DSINCE=since -DSONAME=libZvPldProxy.so.1 \
        -DPACKAGE=libzvpldproxy1 -DDEV_PACKAGE=libzvpldproxy-dev -DFIRST=1.0.0 \
        -DOUTPUT=debian/libzvpldproxy1/DEBIAN/symbols -P "$source/cmake/WriteSymbols.cmake"
    expect "libzvpldproxy1 (>= 1.1.0)" "$(depends)"
    ;;
*) echo "unknown check: $what" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# The Debian packages of a build tree, made by CPack into PACKAGES (one file each of the four).
#   build PACKAGES BUILD_DIR: makes them (cpack, after the build).
#   lint PACKAGES: lintian finds no error and no warning that the packages do not override.
#   client PACKAGES WORK_PARENT CMAKE GENERATOR CXX PKG_CONFIG [TOOLCHAIN_FILE] [-- EMULATOR...]:
#     unpacks all but the tools' package into a scratch root (dpkg-deb -x), then builds and runs
#     the outside client against it (tests/install/check-client.sh); then the tools' pldctl.
#   units PACKAGES WORK_PARENT: systemd-analyze verifies the tools' package's systemd units.
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
*) echo "unknown check: $what" >&2; exit 2 ;;
esac

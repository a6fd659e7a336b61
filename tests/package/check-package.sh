#!/usr/bin/env bash
# The Debian packages of a build tree, made by CPack into PACKAGES (one file each of the five, and
# their -dbgsym packages).
#   build PACKAGES BUILD_DIR: makes them (cpack, after the build).
#   lint PACKAGES: lintian finds no error and no warning that the packages (-dbgsym ones too) do
#     not override.
#   client PACKAGES WORK_PARENT CMAKE GENERATOR CXX PKG_CONFIG [TOOLCHAIN_FILE] [-- EMULATOR...]:
#     unpacks the tools' and the stand-ins' run-time packages into a scratch root (dpkg-deb -x)
#     and runs the tools with those libraries alone (no run path of their own: the loader is shown
#     the directory, as it finds /usr's by itself); then the library's and the development
#     packages too, and builds and runs the outside client against them
#     (tests/install/check-client.sh). The libraries' packages are Multi-Arch: same; the documents
#     the manual pages name are in the tools' package.
#   units PACKAGES WORK_PARENT: systemd-analyze verifies the tools' package's systemd units.
#   symbols PACKAGES WORK_PARENT CMAKE NM CXX: dpkg-shlibdeps makes the outside client depend on
#     the library's package of the version that added the newest export it uses: the package's
#     own symbols file, and one written by the same script with one export added later.
#   manuals PAGES TOOL...: each tool's written manual page (PAGES/NAME.1) names every option that
#     its --help and its subcommands' list and every $VARIABLE/path they give as a default, and
#     has a tagged paragraph for every subcommand.
#   optimised PACKAGES: each architecture's library package holds an optimised build (make
#     package's Release trees): the CMake files of the Release configuration alone, no debug
#     information in the library, its -dbgsym package's compiled with -O2 or more, and the
#     powerpc library within a margin of the size make bench reports (SIZE, 133,104 bytes; the
#     Debug build's is 395,376).
#   contents PACKAGES: make package's packages hold what they should, of each architecture: the
#     tools' pldctl and pld-engined (and pldweb on amd64), no ELF file with a run path, dlog.h in
#     /usr/include/zvpld/ only, the Multi-Arch fields, the library's description naming
#     zvpld-sim, .debug files of mode 0644, every relative .md link of the shipped documents
#     leading to a file of the package; every path two architectures' Multi-Arch: same packages
#     share has the same content, and every changelog is the same.
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
    lintian --fail-on error,warning "$packages"/*.deb "$packages"/*.ddeb
    ;;
client)
    scratch "$1"
    shift
    root=$work/root
    emulator=()
    for ((i = 1; i <= $#; i++)); do
        [[ ${!i} == -- ]] && { emulator=("${@:i+1}"); break; }
    done
    # The tools need the stand-ins' package alone: they hold their own copy of the library.
    for package in zvpld-sim zvpld-tools; do
        dpkg-deb -x "$(deb $package)" "$root"
    done
    libs=$(dirname "$(find "$root/usr/lib" -name libdlog.so)")
    for tool in "$root"/usr/bin/*; do
        readelf -d "$tool" | grep -F '[libZvPldProxy.so' &&
            { echo "$tool needs libZvPldProxy's package" >&2; exit 1; }
        readelf -d "$tool" | grep -E '\((RPATH|RUNPATH)\)' &&
            { echo "$tool has a run path under /usr" >&2; exit 1; }
        args=(--version)
        [[ $tool == */pldctl ]] && args=(get 1 100)
        echo "${tool#"$root"} ${args[*]}:"
        LD_LIBRARY_PATH=$libs timeout 60 "${emulator[@]}" "$tool" "${args[@]}"
    done
    # The documents the manual pages send a reader to are in the package.
    while read -r doc; do
        [[ -e $root$doc ]] || { echo "a manual page names $doc, not in the package" >&2; exit 1; }
    done < <(zcat "$root"/usr/share/man/man1/*.1.gz | sed 's/\\-/-/g' |
        grep -oE '/usr/share/doc/zvpld-tools/[A-Za-z0-9._/-]*[A-Za-z0-9/]' | sort -u)
    for package in libzvpldproxy1 libzvpldproxy-dev zvpld-sim-dev; do
        dpkg-deb -x "$(deb $package)" "$root"
    done
    # Two architectures' libraries install side by side; the tools are of one.
    for package in libzvpldproxy1 libzvpldproxy-dev zvpld-sim zvpld-sim-dev zvpld-tools; do
        field=$(dpkg-deb -f "$(deb $package)" Multi-Arch)
        [[ $field == same || ($package == zvpld-tools && $field == no) ]] ||
            { echo "$package: Multi-Arch '$field'" >&2; exit 1; }
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
    for package in libzvpldproxy1 zvpld-sim libzvpldproxy-dev zvpld-sim-dev; do
        dpkg-deb -R "$(deb $package)" "debian/$package"
    done
    lib=$(dirname debian/libzvpldproxy1/usr/lib/*/libZvPldProxy.so.1)
    sim=$(dirname debian/zvpld-sim/usr/lib/*/libdlog.so)
    ln -s "$work/$lib/libZvPldProxy.so.1" link/libZvPldProxy.so
    "$cxx" -std=c++17 "$source/tests/install/client/main.cpp" -o client \
        -Idebian/libzvpldproxy-dev/usr/include -Idebian/zvpld-sim-dev/usr/include/zvpld -Llink \
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
manuals)
    # The page's text with roff's escapes undone, and its tags (the line after each .TP).
    plain() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$1"; }
    missing=0
    walk() {
        local help option sub
        help=$("$@" --help </dev/null)
        while read -r option; do
            grep -qE -- "(^|[^a-z-])$option([^a-z0-9-]|$)" <<<"$text" ||
                { echo "$page: no $option (of ${*:2} --help)" >&2; missing=1; }
        done < <(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)
        # The defaults --help names by their variables (the daemon's socket) read the same.
        while read -r path; do
            grep -qF -- "$path" <<<"$text" ||
                { echo "$page: no $path (of ${*:2} --help)" >&2; missing=1; }
        done < <(grep -oE '\$[A-Z_]+/[A-Za-z0-9._/-]+' <<<"$help" | sort -u)
        while read -r sub; do
            grep -qE "(^|[^a-z-])$sub([^a-z-]|$)" <<<"$tags" ||
                { echo "$page: no paragraph of ${*:2} $sub" >&2; missing=1; }
            walk "$@" "$sub"
        done < <(sed -n '/^Subcommands:/,$s/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help")
    }
    for tool in "$@"; do
        page=$packages/$(basename "$tool").1
        text=$(plain "$page")
        tags=$(awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' <<<"$text")
        walk "$tool"
    done
    ((missing == 0)) && echo "the pages name every subcommand and option of $*"
    exit $missing
    ;;
optimised)
    checked=0
    for lib in "$packages"/libzvpldproxy1_*.deb; do
        arch=$(dpkg-deb -f "$lib" Architecture)
        root=$(mktemp -d)
        trap 'rm -rf "$root"' EXIT
        for package in libzvpldproxy1 libzvpldproxy-dev zvpld-sim-dev; do
            dpkg-deb -x "$packages/${package}_"*"_$arch.deb" "$root"
        done
        targets=$(find "$root" -name '*Targets-*.cmake' -printf '%f\n' | sort | xargs)
        [[ $targets == "ZvPldPlatformTargets-release.cmake ZvPldProxyTargets-release.cmake" ]] ||
            { echo "$arch: the CMake files of another build: $targets" >&2; exit 1; }
        so=$(find "$root" -name 'libZvPldProxy.so.1.*')
        readelf -S "$so" | grep -F .debug_info &&
            { echo "$arch: $so holds debug information" >&2; exit 1; }
        id=$(readelf -n "$so" | sed -n 's/.*Build ID: //p')
        dpkg-deb -x "$packages/libzvpldproxy1-dbgsym_"*"_$arch.ddeb" "$root"
        debug=$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
        producers=$(readelf --debug-dump=info "$debug" 2>/dev/null |
            sed -n 's/.*DW_AT_producer.*: GNU/GNU/p' | sort -u || true)
        if [[ -z $producers ]] || grep -v -E ' -O[23s]\b' <<<"$producers"; then
            echo "$arch: the library's -dbgsym is not optimised: $producers" >&2
            exit 1
        fi
        size=$(stat -c %s "$so")
        [[ $arch != powerpc ]] || ((size <= 140000)) ||
            { echo "$arch: the library's $size bytes: not make bench's SIZE (133,104)" >&2; exit 1; }
        echo "$arch: $(basename "$so") optimised ($size bytes), $targets"
        rm -rf "$root"
        checked=$((checked + 1))
    done
    ((checked > 0)) || { echo "no library package in $packages" >&2; exit 1; }
    ;;
contents)
    fail() { echo "$arch: $*" >&2; exit 1; }
    same=(libzvpldproxy1 libzvpldproxy-dev zvpld-sim zvpld-sim-dev)
    checked=0
    for tools in "$packages"/zvpld-tools_*.deb; do
        arch=$(dpkg-deb -f "$tools" Architecture)
        root=$(mktemp -d)
        trap 'rm -rf "$root"' EXIT
        for package in "$packages"/*_"$arch".deb; do
            dpkg-deb -x "$package" "$root"
        done
        expected="pld-engined pldctl"
        [[ $arch != amd64 ]] || expected="pld-engined pldctl pldweb"
        bin=$(dpkg-deb -c "$tools" | awk '$6 ~ /^\.\/usr\/bin\/./ { sub(/.*\//, "", $6); print $6 }' |
            sort | xargs)
        [[ $bin == "$expected" ]] || fail "zvpld-tools holds '$bin', not '$expected'"
        while read -r file; do
            readelf -h "$file" >/dev/null 2>&1 || continue
            ! readelf -d "$file" | grep -E '\((RPATH|RUNPATH)\)' || fail "${file#"$root"} has a run path"
        done < <(find "$root/usr/bin" "$root/usr/lib" -type f)
        headers=$(cd "$root" && find . -name dlog.h -printf '%p ')
        [[ $headers == "./usr/include/zvpld/dlog.h " ]] || fail "dlog.h at '$headers'"
        for package in "${same[@]}" zvpld-tools; do
            for file in "$packages/${package}_"*"_$arch.deb" "$packages/${package}-dbgsym_"*"_$arch.ddeb"; do
                [[ -f $file ]] || continue  # no ELF file, no -dbgsym
                field=$(dpkg-deb -f "$file" Multi-Arch)
                [[ $field == same || ($package == zvpld-tools && $field != same) ]] ||
                    fail "$(basename "$file"): Multi-Arch '$field'"
            done
        done
        dpkg-deb -f "$packages/libzvpldproxy1_"*"_$arch.deb" Description | grep -q zvpld-sim ||
            fail "the library's description does not name zvpld-sim"
        for file in "$packages"/*_"$arch".ddeb; do
            ! dpkg-deb -c "$file" | grep -E '\.debug$' | grep -v '^-rw-r--r-- ' ||
                fail "$(basename "$file"): .debug files not of mode 0644"
        done
        doc=$root/usr/share/doc/zvpld-tools
        while IFS=: read -r file link; do
            target=$(realpath -m "$(dirname "$file")/${link#](}")
            [[ $target == "$doc"/* && -f $target ]] ||
                fail "${file#"$doc"/} links to ${link#](}, not in the package"
        done < <(grep -roE '\]\([^):#[:space:]]+\.md' --include='*.md' "$doc")
        echo "$arch: the packages hold what they should"
        rm -rf "$root"
        checked=$((checked + 1))
    done
    ((checked > 0)) || { echo "no tools' package in $packages" >&2; exit 1; }
    # Multi-Arch: same packages of two architectures install side by side only if each path
    # they share has the same content.
    arch=all
    for package in "${same[@]}" "${same[@]/%/-dbgsym}"; do
        sums=()
        for file in "$packages/${package}_"*; do
            [[ -f $file ]] && sums+=("$(dpkg-deb -I "$file" md5sums)")
        done
        ((${#sums[@]} < 2)) && continue
        differ=$(printf '%s\n' "${sums[@]}" | sort -k2 | uniq | awk '{ print $2 }' | uniq -d)
        [[ -z $differ ]] || fail "$package: $differ differ between architectures"
    done
    changelogs=$(for file in "$packages"/*.deb; do
        dpkg-deb --fsys-tarfile "$file" | tar -xO --wildcards '*/changelog.gz' 2>/dev/null |
            zcat | md5sum
    done | sort -u | wc -l)
    ((changelogs == 1)) || fail "the packages' changelogs differ"
    echo "the architectures' Multi-Arch: same packages agree, and all the changelogs"
    ;;
*) echo "unknown check: $what" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# After a deliberate change: ZVPLD_ABI_UPDATE=1 ctest --preset ppc32 -R '^abi\.' rewrites the lists
# (and fails, so that an update is never taken for a pass).
# Usage: compare_with_list.sh exports|needed TOOL LIBRARY LIST
# exports: TOOL is nm; the defined dynamic symbols, demangled. needed: TOOL is readelf; the NEEDED
# entries. Either is sorted and must equal LIST line for line.
set -euo pipefail
kind=$1 tool=$2 library=$3 list=$4

case $kind in
exports) actual=$("$tool" -D --defined-only -C "$library" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //') ;;
needed) actual=$("$tool" -d "$library" | sed -n -E 's/.*\(NEEDED\).*\[(.*)\]$/\1/p') ;;
*) echo "unknown check: $kind" >&2; exit 2 ;;
esac
actual=$(LC_ALL=C sort <<<"$actual")
if [[ -z $actual ]]; then
    echo "$tool found no $kind in $library" >&2
    exit 1
fi

if [[ ${ZVPLD_ABI_UPDATE:-} == 1 ]]; then
    printf '%s\n' "$actual" >"$list"
    echo "rewrote $list: review the diff, then run the check again without ZVPLD_ABI_UPDATE" >&2
    exit 1
fi
if ! diff -u --label "$list" --label "$library" "$list" - <<<"$actual"; then
    echo "$kind of $library differ from $list: '+' lines are in the library only, '-' lines" \
        "in the list only" >&2
    exit 1
fi

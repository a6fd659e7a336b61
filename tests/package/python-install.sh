#!/usr/bin/env bash
# As a user would (root): installs the Python client's package with apt-get, imports it with
# Debian's Python from outside the tree, and checks that pytest loads its plugin by the entry
# point alone (its options in pytest's help, gone with `-p no:zvpld`), and that its purge leaves
# no folder behind, though root's import may write byte-code. Removes the package again,
# whatever failed; a python3-zvpld installed before is someone's: then it changes nothing and
# exits 77 (skipped).
# Usage: python-install.sh DEB
set -euo pipefail

deb=$(realpath "$1")
version=$(dpkg-deb -f "$deb" Version)
if dpkg-query -W -f='${Status}\n' python3-zvpld 2>/dev/null | grep -q ' installed$'; then
    echo "skipped: python3-zvpld is installed already; not replaced, not removed"
    exit 77
fi
work=$(mktemp -d)
installed=no
cleanup() {
    cd /
    rm -rf "$work"
    if [[ $installed == yes ]]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq python3-zvpld >/dev/null
    fi
}
trap cleanup EXIT
installed=yes  # from here on, whatever apt-get did is ours to undo
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
    python3-pytest >"$work/apt.log" || { cat "$work/apt.log"; exit 1; }

cd "$work"
# As root's Python does by default: byte-code written beside the modules.
env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c "import zvpld
where = zvpld.__file__
assert where.startswith('/usr/lib/python3/dist-packages/zvpld/'), where
assert zvpld.__version__ == '$version', zvpld.__version__
print('zvpld', zvpld.__version__, 'speaks protocol', zvpld.PROTOCOL_VERSION)"
/usr/bin/python3 -m pytest -p no:cacheprovider --help >"$work/help.txt"
if ! grep -q -- '--pld-engined' "$work/help.txt"; then
    echo "pytest did not load the plugin" >&2
    exit 1
fi
/usr/bin/python3 -m pytest -p no:cacheprovider -p no:zvpld --help >"$work/help.txt"
if grep -q -- '--pld-engined' "$work/help.txt"; then
    echo "-p no:zvpld left the plugin loaded: it is not registered as zvpld" >&2
    exit 1
fi
installed=no
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq python3-zvpld >/dev/null
if [[ -e /usr/lib/python3/dist-packages/zvpld ]]; then
    find /usr/lib/python3/dist-packages/zvpld >&2
    echo "the purge left /usr/lib/python3/dist-packages/zvpld" >&2
    exit 1
fi
echo "python3-zvpld $version: installed, imported, its pytest plugin found by its entry point," \
    "purged without a trace"

#!/usr/bin/env bash
# The Python client's suites under ctest. `client`: its tests, from the tree. `examples`: the
# package installed with pip into a venv of Debian's Python (which proves its pytest entry
# point) and examples/pytest run there as a user would. Exit 77 when what they run on is missing.
# Usage: run.sh PYTHON client|examples PLD_ENGINED PLDWEB SCRATCH
set -euo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
python=$1 mode=$2 engined=$3 web=$4 scratch=$5
skip() {
    echo "skipped: $1 (scripts/ensure-packages clients installs it)"
    exit 77
}
"$python" -c 'import msgpack, pytest' 2>/dev/null || skip "$python lacks msgpack or pytest"

if [[ $mode == client ]]; then
    # The tree's plugin alone: one installed too (the package, a pip install) is not loaded again.
    cd "$scratch"
    PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 PYTHONPATH="$root/tools/zvpld-python:$root/tests/clients/python" \
        exec "$python" -m pytest \
        -p zvpld.plugin -p no:cacheprovider -q "$root/tests/clients/python" \
        --pld-engined "$engined" --pldweb "$web"
fi

command -v chromium >/dev/null || skip "no chromium"
"$python" -m pip --version >/dev/null 2>&1 || skip "$python has no pip"
"$python" -c 'import setuptools' 2>/dev/null || skip "$python has no setuptools"
# pip builds in the folder it installs from: a copy, so that the tree stays clean.
rm -rf "$scratch/venv" "$scratch/src"
mkdir -p "$scratch/src/tools"
cp "$root/CMakeLists.txt" "$scratch/src/"
cp -r "$root/tools/zvpld-python" "$scratch/src/tools/"
"$python" -m venv --system-site-packages --without-pip "$scratch/venv"
"$scratch/venv/bin/python" -m pip install -q --no-index --no-build-isolation --no-cache-dir \
    "$scratch/src/tools/zvpld-python"
cd "$scratch"
PLD_ENGINED=$engined PLDWEB=$web exec "$scratch/venv/bin/python" -m pytest -p no:cacheprovider \
    -q "$root/examples/pytest"

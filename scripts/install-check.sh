#!/usr/bin/env bash
# Installs the wheels in dist/ (scripts/wheel.sh) as a user without a compiler
# would: a fresh environment in a temporary folder whose PATH holds nothing
# but the environment's own bin/ (no gcc, g++, cc, c++, cmake or ninja) and
# whose CC and CXX are /bin/false; packages from PyPI as wheels only. Then the
# host application's stand-ins (pure Python), the smoke run through every
# module of the installed store (scripts/smoke.py) and the installed tool's
# `kgraph demo --limit-modules 5`. Extra arguments go to `kgraph demo`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/find-python.sh"
python="$(find_python)"

one_file() {
    local matches=("$root"/dist/$1)
    if [ "${#matches[@]}" -ne 1 ] || [ ! -f "${matches[0]}" ]; then
        echo "install-check: want one dist/$1, found ${#matches[@]} (run scripts/wheel.sh)" >&2
        exit 1
    fi
    echo "${matches[0]}"
}
store_wheel="$(one_file 'corvanta_kgraph_duckdb-*.whl')"
tool_wheel="$(one_file 'kgraph_tools-*.whl')"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
bin="$tmp/venv/bin"

# Run with the compiler out of reach.
without_compiler() { env PATH="$bin" CC=/bin/false CXX=/bin/false "$@"; }
found="$(PATH="$bin"; for tool in gcc g++ cc c++ cmake ninja; do command -v "$tool" || true; done)"
if [ -n "$found" ]; then
    echo "install-check: a compiler is within reach:" $found >&2
    exit 1
fi

pip=(without_compiler "$bin/python" -m pip --disable-pip-version-check -q)
echo "install-check: installing $(basename "$store_wheel") and $(basename "$tool_wheel") without a compiler"
"${pip[@]}" install --only-binary=:all: "$store_wheel" "$tool_wheel"
"${pip[@]}" install "$root/host"

cd "$tmp"
without_compiler "$bin/python" "$root/scripts/smoke.py"
echo "install-check: kgraph demo --limit-modules 5"
without_compiler "$bin/kgraph" --path "$tmp/demo" demo --limit-modules 5 "$@"

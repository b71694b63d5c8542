#!/usr/bin/env bash
# Prepares .venv (Python 3.13) with the dependencies, the host stand-ins and
# the store module built from this tree. Idempotent and quick when nothing
# changed: the build runs again only when a source file did.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

source "$root/scripts/find-python.sh"

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
    echo "setup: creating .venv"
    "$(find_python)" -m venv "$venv"
fi
py="$venv/bin/python"
pip=("$py" -m pip --disable-pip-version-check -q)

# Dependencies, when the list of them changed.
deps_stamp="$venv/.deps-stamp"
deps_hash="$(cat pyproject.toml host/pyproject.toml scripts/setup.sh scripts/dev-requirements.txt | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_hash" ]; then
    echo "setup: installing dependencies"
    "${pip[@]}" install -r scripts/dev-requirements.txt
    "${pip[@]}" install ./host
    rm -f "$venv/.build-stamp"
    echo "$deps_hash" >"$deps_stamp"
fi

# The module, when a source of it changed. The build directory is kept, so a
# rebuild compiles only what changed.
build_stamp="$venv/.build-stamp"
sources() {
    local dir
    for dir in src python host tools; do
        [ -d "$dir" ] && find "$dir" -type f -not -path '*/build/*' -not -path '*.egg-info/*' \
            \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.toml' -o -name py.typed \)
    done
    return 0
}
build_hash="$( (cat CMakeLists.txt pyproject.toml; sources | sort | xargs cat) | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$build_stamp" 2>/dev/null)" != "$build_hash" ]; then
    echo "setup: building the store module"
    (
        flock 9
        "${pip[@]}" install ./host
        "${pip[@]}" install --no-build-isolation --no-deps .
        if [ -f tools/pyproject.toml ]; then "${pip[@]}" install --no-deps ./tools; fi
    ) 9>"$venv/.build-lock"
    echo "$build_hash" >"$build_stamp"
fi

#!/usr/bin/env bash
# Builds the store module with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own environment (.venv-asan, build directory build/asan-*) and runs
# the whole test suite on it. Extra arguments go to pytest. Idempotent and
# quick when nothing changed, like setup.sh.
#
# Python objects come from the system allocator (PYTHONMALLOC=malloc) so that
# the sanitizer sees them too; leak detection is off, since the interpreter
# keeps memory until the process ends by design.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"

venv="$root/.venv-asan"
if [ ! -x "$venv/bin/python" ]; then
    echo "sanitize: creating .venv-asan"
    "$("$root/.venv/bin/python" -c 'import sys; print(sys._base_executable)')" -m venv "$venv"
fi
py="$venv/bin/python"
pip=("$py" -m pip --disable-pip-version-check -q)

deps_stamp="$venv/.deps-stamp"
deps_hash="$(cat pyproject.toml host/pyproject.toml scripts/setup.sh scripts/sanitize.sh scripts/dev-requirements.txt | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_hash" ]; then
    echo "sanitize: installing dependencies"
    "${pip[@]}" install -r scripts/dev-requirements.txt
    "${pip[@]}" install ./host
    rm -f "$venv/.build-stamp"
    echo "$deps_hash" >"$deps_stamp"
fi

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
build_stamp="$venv/.build-stamp"
build_hash="$( (echo "$flags"; cat CMakeLists.txt pyproject.toml;
    find src python host tools -type f -not -path '*/build/*' -not -path '*.egg-info/*' \
        \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.toml' \) 2>/dev/null |
        sort | xargs cat) | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$build_stamp" 2>/dev/null)" != "$build_hash" ]; then
    echo "sanitize: building the store module with the sanitizers"
    "${pip[@]}" install ./host
    "${pip[@]}" install --no-build-isolation --no-deps \
        -C "build-dir=build/asan-{wheel_tag}" \
        -C "cmake.build-type=RelWithDebInfo" \
        -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
        -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
        -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
        .
    if [ -f tools/pyproject.toml ]; then "${pip[@]}" install --no-deps ./tools; fi
    echo "$build_hash" >"$build_stamp"
fi

# The sanitizer's runtime must come first in the process, before the
# interpreter loads the instrumented module; the C++ runtime with it, so that
# its interceptor of C++ throws finds the real one at start-up.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
echo "sanitize: running the test suite"
LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    PYTHONMALLOC=malloc \
    exec "$py" -m pytest "$@"

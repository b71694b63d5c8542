#!/usr/bin/env bash
# Builds what a release ships into dist/ (set-up included; idempotent and
# quick when nothing changed, like setup.sh):
#   - the store's wheel, repaired by auditwheel for manylinux_2_28: it loads
#     nothing but the library beside its modules (in the wheel) and what that
#     platform provides (libc, libm, libpthread, libstdc++, libgcc_s);
#   - the tool's wheel (pure Python, command `kgraph`, needing the store by
#     its distribution name);
#   - the store's sdist, which builds with `pip install` where g++ exists.
# The build tools come from PyPI into .venv-wheel; the build directory is
# build/wheel-*, apart from the development build's.
#
# Why g++ with older symbol versions, not a compiler that brings its own C
# library (the `ziglang` package, `zig c++ -target x86_64-linux-gnu.2.28`):
# zig links its own C++ runtime and unwinder into every shared object. Tried
# on this machine, (1) an exception of a type with hidden visibility thrown
# in one shared object is no longer caught by its type in another (only by
# `catch (...)`), and the store's errors cross from its core library into the
# modules; (2) a thread ended by pthread_exit, as CPython 3.13 ends a daemon
# thread that wants the GIL during finalisation, crashes with SIGSEGV in the
# unwinding, even with a plain destructor on its stack. g++ links the code
# as the tests and the sanitizer build see it, against the system's
# libstdc++ (whose symbol versions the code needs are old: GLIBCXX_3.4.11).
# Built natively, the only symbol beyond glibc 2.28 is pthread_mutex_trylock
# @GLIBC_2.34, a function glibc 2.34 moved from libpthread into libc under a
# new version: scripts/glibc_floor.py writes a header, included into every
# file of this build, that binds such moved functions to their old version,
# and the objects name libpthread.so.0, where an older glibc has them.
# auditwheel then checks the result against the manylinux_2_28 policy and
# refuses to tag anything newer.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source "$root/scripts/find-python.sh"

platform=manylinux_2_28_x86_64
glibc_floor=2.28
dist="$root/dist"
work="$root/build/wheel-work"

venv="$root/.venv-wheel"
if [ ! -x "$venv/bin/python" ]; then
    echo "wheel: creating .venv-wheel"
    "$(find_python)" -m venv "$venv"
fi
py="$venv/bin/python"
pip=("$py" -m pip --disable-pip-version-check -q)
deps_stamp="$venv/.deps-stamp"
deps_hash="$(cat scripts/wheel-requirements.txt | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$deps_stamp" 2>/dev/null)" != "$deps_hash" ]; then
    echo "wheel: installing the build tools"
    "${pip[@]}" install -r scripts/wheel-requirements.txt
    echo "$deps_hash" >"$deps_stamp"
fi

# Everything that goes into one of the three files, and the compiler.
sources() {
    local dir
    for dir in src python tools; do
        [ -d "$dir" ] && find "$dir" -type f -not -path '*/build/*' -not -path '*.egg-info/*' \
            -not -path '*/__pycache__/*'
    done
    return 0
}
inputs_hash="$( (g++ --version; ls -l "$(realpath "$(g++ -print-file-name=libc.so.6)")";
    cat CMakeLists.txt pyproject.toml README.md CHANGELOG.md scripts/wheel.sh scripts/glibc_floor.py \
        scripts/wheel-requirements.txt; sources | sort | xargs cat) | sha256sum | cut -d' ' -f1)"
stamp="$dist/.wheel-stamp"
if [ -f "$stamp" ] && [ "$(head -n1 "$stamp")" = "$inputs_hash" ] &&
    tail -n +2 "$stamp" | while read -r artifact; do [ -f "$dist/$artifact" ] || exit 1; done; then
    echo "wheel: dist/ is up to date"
    tail -n +2 "$stamp" | sed 's/^/  /'
    exit 0
fi

# One version for the store and the tool that goes with it.
store_version="$("$py" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')"
tool_version="$("$py" -c 'import ast, sys
tree = ast.parse(open("tools/kgraph_cli/__init__.py").read())
print(next(n.value.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__version__"))')"
if [ "$store_version" != "$tool_version" ]; then
    echo "wheel: the store is version $store_version (pyproject.toml), the tool $tool_version" \
        "(tools/kgraph_cli/__init__.py): make them one" >&2
    exit 1
fi

rm -rf "$work"
mkdir -p "$work" "$dist"
rm -f "$stamp" "$dist"/corvanta_kgraph_duckdb-* "$dist"/kgraph_tools-*

echo "wheel: building the store's wheel (g++, symbols of glibc $glibc_floor)"
libc="$(realpath "$(g++ -print-file-name=libc.so.6)")"
# Replaced only when it changes: every file of the build depends on it.
floor_header="$root/build/wheel-glibc-floor.h"
"$py" scripts/glibc_floor.py "$libc" "$glibc_floor" "$work/glibc-floor.h"
cmp -s "$work/glibc-floor.h" "$floor_header" || cp "$work/glibc-floor.h" "$floor_header"
needs_libpthread="-Wl,--push-state,--no-as-needed,-l:libpthread.so.0,--pop-state"
"$py" -m build --wheel --no-isolation --outdir "$work/raw" \
    -C "build-dir=build/wheel-{wheel_tag}" \
    -C "cmake.define.CMAKE_CXX_FLAGS=-include $floor_header" \
    -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=$needs_libpthread" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$needs_libpthread" \
    . >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

echo "wheel: repairing it for $platform"
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat "$platform" --wheel-dir "$dist" "$work"/raw/*.whl \
    >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
store_wheel="$(cd "$dist" && ls corvanta_kgraph_duckdb-*.whl)"
"$venv/bin/auditwheel" show "$dist/$store_wheel" 2>/dev/null | tee "$work/auditwheel-show.txt"

echo "wheel: building the tool's wheel and the store's sdist"
"$py" -m build --wheel --no-isolation --outdir "$dist" tools >"$work/tool.log" 2>&1 ||
    { cat "$work/tool.log" >&2; exit 1; }
"$py" -m build --sdist --no-isolation --outdir "$dist" . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log" >&2; exit 1; }

(echo "$inputs_hash"; cd "$dist" && ls corvanta_kgraph_duckdb-* kgraph_tools-*) >"$stamp"
echo "wheel: in dist/"
tail -n +2 "$stamp" | while read -r artifact; do
    printf '  %-60s %8s bytes\n' "$artifact" "$(stat -c %s "$dist/$artifact")"
done

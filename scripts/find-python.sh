# Sourced by the scripts that create an environment: find_python prints the
# path of a Python 3.13 interpreter ($KGRAPH_PYTHON first, then PATH, then
# pyenv's).
find_python() {
    local candidate
    for candidate in "${KGRAPH_PYTHON:-}" "$(command -v python3.13 || true)" \
        "$(command -v pyenv >/dev/null 2>&1 && pyenv which python3.13 2>/dev/null || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "Python 3.13 not found (set KGRAPH_PYTHON to its path)" >&2
    return 1
}

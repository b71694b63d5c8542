#!/usr/bin/env bash
# Runs the whole test suite (set-up included). Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -m pytest "$@"

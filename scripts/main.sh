#!/usr/bin/env bash
# The main job: builds a code knowledge graph of this interpreter's standard
# library with the `kgraph` tool and queries it (set-up included). Extra
# arguments go to `kgraph demo`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
exec "$root/.venv/bin/kgraph" demo "$@"

#!/usr/bin/env bash
# Runs the benchmark suite (set-up included): `--quick` for the short smoke
# run. Results are printed and written to docs/benchmarks.md.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" bench/run.py "$@"

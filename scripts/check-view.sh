#!/usr/bin/env bash
# Looks at what 'kgraph view' draws: installs headless Chromium from Debian's
# packages (when missing), builds a small demo graph, writes a page of it and
# a screenshot of that page in a browser. Not part of the test run.
#   bash scripts/check-view.sh [OUTDIR]     (default: ./view-check)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-view-check}")"
"$root/scripts/setup.sh"
browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "$browser" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y chromium
    browser="$(command -v chromium)"
fi
mkdir -p "$out"
kgraph="$root/.venv/bin/kgraph"
"$kgraph" --path "$out/graph" demo --limit-modules 8 >"$out/demo.log"
"$kgraph" --path "$out/graph" view json.decoder --org stdlib --depth 1 -o "$out/view.html"
# The virtual-time budget lets the page's script lay the graph out before the shot.
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1400,900 \
    --virtual-time-budget=15000 --screenshot="$out/view.png" "file://$out/view.html" 2>"$out/browser.log"
echo "check-view: page $out/view.html, screenshot $out/view.png"

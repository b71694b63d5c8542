"""Entry point: ``kgraph`` and ``python -m kgraph_cli``."""

from __future__ import annotations

import sys

from kgraph_cli.cli import main

if __name__ == "__main__":
    sys.exit(main())

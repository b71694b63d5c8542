"""Runs one benchmark task in this process (the store is one per process)
and prints its result as one JSON line: `python bench/worker.py TASK JSON`."""

from __future__ import annotations

import importlib
import json
import logging
import sys

RESULT_MARK = "BENCH-RESULT "

TASKS = {
    "overhead": ("overhead", "run"),
    "scale": ("scale", "run"),
    "mixed_memory": ("memory", "mixed_memory"),
    "own_leaks": ("memory", "own_leaks"),
    "clamping": ("clamping", "run"),
    "batch": ("batch", "run"),
    "tool": ("tool", "run"),
    "companions_scale": ("companions", "scale_point"),
    "companions_memory": ("companions", "cyclic_memory"),
    "companions_overlap": ("overlap", "run"),
    "context_scale": ("context", "scale_point"),
}


def main() -> None:
    task, params = sys.argv[1], json.loads(sys.argv[2])
    module_name, func = TASKS[task]
    # A host's usual setting: the store's debug and info lines are off.
    # Records that are emitted go nowhere (the mixed run makes the vector
    # store fail on purpose, and those lines are not wanted on the console).
    store_logger = logging.getLogger("corvanta")
    store_logger.setLevel(logging.WARNING)
    store_logger.addHandler(logging.NullHandler())
    store_logger.propagate = False
    result = getattr(importlib.import_module(module_name), func)(**params)
    sys.stdout.write(RESULT_MARK + json.dumps(result) + "\n")


if __name__ == "__main__":
    main()

"""The ``kgraph`` command-line tool over the DuckDB knowledge-graph store."""

__version__ = "0.1.0"

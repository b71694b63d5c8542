"""Knowledge-graph store backed by an embedded DuckDB file."""

import hashlib as hashlib
import json as json
import logging
import re as re
from datetime import datetime as datetime, timedelta as timedelta, timezone as timezone
from pathlib import Path as Path
from typing import Any, ClassVar, Dict, List

import duckdb as duckdb
from corvanta.kgraph.base import KGraphBase
from corvanta.vectorstores.factory import VectorStoreFactory as VectorStoreFactory

logger: logging.Logger

class DuckSqliteGraph(KGraphBase):
    _instance: ClassVar[DuckSqliteGraph | None]
    _VS_META_MAX: ClassVar[int]
    _SAFE_KEY_RE: ClassVar[re.Pattern[str]]

    db_path: str
    conn: duckdb.DuckDBPyConnection
    vector_store: Any
    _initialized: bool

    def __new__(cls, *args: Any, **kwargs: Any) -> DuckSqliteGraph: ...
    def __init__(self, persist_path: str) -> None: ...
    def _ensure_schema(self) -> None: ...
    @staticmethod
    def _clamp_metadata_for_vs(metadata: Dict, max_bytes: int) -> Dict: ...
    @staticmethod
    def _det_id(triple: str, user_id: str, org_id: str) -> str: ...
    def upsert_fact(self, subject: str, predicate: str, obj: str, metadata: Dict) -> str: ...
    def search(self, query: str, *, user_id: str, org_id: str, k: int = 5) -> List[Dict]: ...
    def get_neighbours(self, entity: str, depth: int = 2) -> List[Dict]: ...
    def purge_expired(self, days: int = 90) -> None: ...
    def delete_context(self, *, org_id: str, graph_slice_id: str) -> int: ...
    def fetch_by_metadata(self, *, org_id: str, filters: Dict[str, str]) -> List[Dict]: ...

# A copy of the default vector store as it was before vectors were persisted and
# scored with NumPy: the baseline the search and add benchmarks compare against.

"""An in-process vector store with a deterministic, offline hashing embedding.

Documents live in memory. When a ``persist_directory`` is given, every added
document is also appended to ``vectorstore.jsonl`` in that directory (one JSON
object per line holding id, text and metadata; deletions are appended as
tombstones) and the file is replayed when a store is opened on the directory
again. Embeddings are never written: they are recomputed on load.

Only one store instance at a time should write to a given directory.
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import json
import math
import os
import re
import threading
import uuid
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

__all__ = ["Document", "HashingEmbedding", "InMemoryVectorStore", "PERSIST_FILENAME"]

PERSIST_FILENAME = "vectorstore.jsonl"

_TOKEN_RE = re.compile(r"\w+")
_MISSING = object()


@dataclasses.dataclass
class Document:
    """A stored text with its metadata and id."""

    page_content: str
    metadata: dict[str, Any] = dataclasses.field(default_factory=dict)
    id: str | None = None


@functools.lru_cache(maxsize=1 << 17)
def _feature_hash(feature: str) -> int:
    # blake2b rather than hash(): str hashing is salted per process, and the
    # embedding has to come out identical in every process.
    digest = hashlib.blake2b(feature.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


class HashingEmbedding:
    """Feature-hashing text embedding.

    The text is lower-cased and split into word tokens (``\\w+``). Each token
    contributes itself (weight ``word_weight``) and the character trigrams of
    ``<token>`` (weight ``trigram_weight`` each). Every feature is hashed into
    one of ``dim`` buckets with a sign taken from a separate bit of the same
    hash; the result is L2-normalised, so a dot product is a cosine similarity.
    """

    def __init__(self, dim: int = 256, *, word_weight: float = 1.0, trigram_weight: float = 0.5):
        if dim <= 0:
            raise ValueError("dim must be positive")
        self.dim = dim
        self.word_weight = float(word_weight)
        self.trigram_weight = float(trigram_weight)

    def sparse(self, text: str) -> dict[int, float]:
        """Return the normalised embedding as ``{bucket: value}`` without zero entries."""
        dim = self.dim
        ww = self.word_weight
        tw = self.trigram_weight
        acc: dict[int, float] = {}
        get = acc.get
        for token in _TOKEN_RE.findall(text.lower()):
            h = _feature_hash("w\x00" + token)
            i = h % dim
            acc[i] = get(i, 0.0) + (ww if h >> 63 else -ww)
            padded = "<" + token + ">"
            for j in range(len(padded) - 2):
                h = _feature_hash("t\x00" + padded[j : j + 3])
                i = h % dim
                acc[i] = get(i, 0.0) + (tw if h >> 63 else -tw)
        norm = math.sqrt(math.fsum(v * v for v in acc.values()))
        if norm == 0.0:
            return {}
        return {i: v / norm for i, v in acc.items() if v != 0.0}

    def embed_query(self, text: str) -> list[float]:
        """Return the dense embedding of ``text``; all zeros when it has no word tokens."""
        vec = [0.0] * self.dim
        for i, v in self.sparse(text).items():
            vec[i] = v
        return vec

    def embed_documents(self, texts: Iterable[str]) -> list[list[float]]:
        return [self.embed_query(t) for t in texts]


def _cosine(query: Sequence[tuple[int, float]], doc: Mapping[int, float]) -> float:
    get = doc.get
    s = 0.0
    for i, v in query:
        s += v * get(i, 0.0)
    # Rounding can push a self-match a hair past 1.0.
    return max(-1.0, min(1.0, s))


@dataclasses.dataclass(frozen=True, slots=True)
class _Entry:
    id: str
    text: str
    metadata: dict[str, Any]
    vector: dict[int, float]

    def document(self) -> Document:
        return Document(page_content=self.text, metadata=dict(self.metadata), id=self.id)


class InMemoryVectorStore:
    """Thread-safe in-process vector store ranked by cosine similarity."""

    def __init__(
        self,
        *,
        persist_directory: str | os.PathLike[str] | None = None,
        embedding: HashingEmbedding | None = None,
    ):
        self.embedding = embedding if embedding is not None else HashingEmbedding()
        self._lock = threading.Lock()
        # Insertion-ordered; iteration order is the tie-break order for search.
        self._entries: dict[str, _Entry] = {}
        self.persist_directory: str | None = None
        self._persist_path: str | None = None
        if persist_directory is not None:
            self.persist_directory = os.fspath(persist_directory)
            os.makedirs(self.persist_directory, exist_ok=True)
            self._persist_path = os.path.join(self.persist_directory, PERSIST_FILENAME)
            self._load()

    # ------------------------------------------------------------------ writes

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Iterable[Mapping[str, Any]] | None = None,
        ids: Iterable[str] | None = None,
    ) -> list[str]:
        """Store ``texts`` and return their ids.

        All-or-nothing: if any id is already stored (or repeated within the
        call) a ``ValueError`` is raised and none of the texts is stored.
        """
        texts = list(texts)
        n = len(texts)
        metadatas = [{} for _ in range(n)] if metadatas is None else list(metadatas)
        ids = [uuid.uuid4().hex for _ in range(n)] if ids is None else list(ids)
        if len(metadatas) != n:
            raise ValueError(f"got {n} texts but {len(metadatas)} metadatas")
        if len(ids) != n:
            raise ValueError(f"got {n} texts but {len(ids)} ids")
        for t in texts:
            if not isinstance(t, str):
                raise TypeError(f"texts must be str, got {type(t).__name__}")
        for m in metadatas:
            if not isinstance(m, Mapping):
                raise TypeError(f"metadatas must be dicts, got {type(m).__name__}")
        for doc_id in ids:
            if not isinstance(doc_id, str):
                raise TypeError(f"ids must be str, got {type(doc_id).__name__}")

        seen: set[str] = set()
        for doc_id in ids:
            if doc_id in seen:
                raise ValueError(f"Document with ID {doc_id!r} already exists")
            seen.add(doc_id)

        # The expensive part runs outside the lock.
        entries = [
            _Entry(doc_id, text, dict(meta), self.embedding.sparse(text))
            for doc_id, text, meta in zip(ids, texts, metadatas)
        ]
        lines = None
        if self._persist_path is not None:
            # Serialise before touching any state so unencodable metadata
            # leaves both memory and file untouched.
            lines = "".join(
                json.dumps({"id": e.id, "text": e.text, "metadata": e.metadata}, ensure_ascii=False) + "\n"
                for e in entries
            )

        with self._lock:
            for doc_id in ids:
                if doc_id in self._entries:
                    raise ValueError(f"Document with ID {doc_id!r} already exists")
            if lines:
                self._append(lines)
            for e in entries:
                self._entries[e.id] = e
        return ids

    def delete(self, ids: Iterable[str] | None = None) -> int:
        """Remove the documents with these ids; unknown ids are ignored. Returns how many went."""
        if ids is None:
            return 0
        if isinstance(ids, str):
            ids = [ids]
        with self._lock:
            present = [doc_id for doc_id in dict.fromkeys(ids) if doc_id in self._entries]
            if present and self._persist_path is not None:
                self._append("".join(json.dumps({"id": d, "deleted": True}) + "\n" for d in present))
            for doc_id in present:
                del self._entries[doc_id]
        return len(present)

    # ------------------------------------------------------------------- reads

    def get(self, id: str) -> Document | None:
        with self._lock:
            entry = self._entries.get(id)
        return None if entry is None else entry.document()

    def __len__(self) -> int:
        with self._lock:
            return len(self._entries)

    def __contains__(self, id: object) -> bool:
        with self._lock:
            return id in self._entries

    def similarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
    ) -> list[tuple[Document, float]]:
        """Return up to ``k`` (document, cosine similarity) pairs, most similar first.

        With ``filter``, only documents whose metadata has every filter key with
        an equal value are considered. Equal scores keep insertion order.
        """
        if k <= 0:
            return []
        q = list(self.embedding.sparse(query).items())
        with self._lock:
            candidates = list(self._entries.values())
        if filter:
            conditions = list(filter.items())
            candidates = [
                e for e in candidates
                if all(e.metadata.get(key, _MISSING) == value for key, value in conditions)
            ]
        scored = [(e, _cosine(q, e.vector)) for e in candidates]
        # sort is stable, so equal scores stay in insertion order.
        scored.sort(key=lambda pair: -pair[1])
        return [(e.document(), score) for e, score in scored[:k]]

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k=k, filter=filter)]

    # ------------------------------------------------------------- persistence

    def _append(self, lines: str) -> None:
        with open(self._persist_path, "a", encoding="utf-8", newline="\n") as f:
            f.write(lines)
            f.flush()

    def _load(self) -> None:
        path = self._persist_path
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return
        end = data.rfind(b"\n") + 1
        if end < len(data):
            # A write was cut short. Drop the partial record so later appends
            # start on a fresh line instead of gluing onto the fragment.
            with open(path, "r+b") as f:
                f.truncate(end)
        for lineno, raw in enumerate(data[:end].split(b"\n"), 1):
            if not raw.strip():
                continue
            try:
                rec = json.loads(raw)
            except ValueError as exc:
                raise ValueError(f"{path}:{lineno}: unreadable record") from exc
            doc_id = rec["id"]
            if rec.get("deleted"):
                self._entries.pop(doc_id, None)
                continue
            text = rec["text"]
            self._entries.pop(doc_id, None)
            self._entries[doc_id] = _Entry(doc_id, text, dict(rec.get("metadata") or {}), self.embedding.sparse(text))

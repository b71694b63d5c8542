"""An in-process vector store with a deterministic, offline hashing embedding.

Documents live in memory. When a ``persist_directory`` is given, every added
document is also appended to ``vectorstore.jsonl`` in that directory (one JSON
object per line holding id, text and metadata, led by a checksum; deletions
are appended as tombstones), its embedding to ``vectorstore.vec`` beside it,
and its id, text and the metadata values search filters on most (``user_id``,
``org_id``) to ``vectorstore.idx``. A store opened on the directory again
replays the documents from the index and the vectors without embedding them
anew or parsing their metadata, which it reads from the document file when a
result or another filter needs it. The document file is the record: a vector
or index file that is missing, torn, behind it or made by another embedding
is repaired from it on open. The formats: ``storage``.

Damage is found on open by checksums (records of older writers, which have
none, are checked as far as their form allows): a damaged vector or index
chunk is computed again from the documents; a damaged document record is
left out. Either way a warning names the file and the byte offset, says what
was lost, and stays in ``problems``; ``verify`` checks every record without
changing anything, and ``compact`` rewrites the files with the stored
documents only.

A store opened with ``read_only=True`` replays the files without changing
them (what an open would repair is mended in memory only) and refuses to
write: for files on read-only media, or files another process may be
writing.

Every method leaves the store as after its last complete call when an
exception arrives anywhere in it, Ctrl-C's ``KeyboardInterrupt`` included:
the expensive part of a change (embedding, encoding) is done first, and the
change itself (the files appended, the lists and indexes extended) runs
under the store's lock with signal handlers' exceptions held back to its
end (``signals``); an append that fails is cut off the files again.

Only one store instance at a time should write to a given directory.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import gc
import hashlib
import io
import itertools
import json
import logging
import math
import os
import re
import threading
import uuid
import zlib
from contextlib import suppress
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np

from corvanta.vectorstores import signals
from corvanta.vectorstores.storage import (INDEX_FILENAME, INDEXED_KEYS, MISSING, PERSIST_FILENAME, VECTORS_FILENAME,
                                           Problem, SparseBatch, alive_in_index, checksum_state, encode_index,
                                           encode_record, encode_vectors, parse_lines, parse_record, read_index,
                                           read_vectors, unreadable_in_index, with_checksum)

__all__ = ["Document", "HashingEmbedding", "InMemoryVectorStore", "INDEX_FILENAME", "PERSIST_FILENAME",
           "Problem", "VECTORS_FILENAME", "Verification"]

_log = logging.getLogger(__name__)
_MISSING = MISSING

_TOKEN_RE = re.compile(r"\w+")


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

    A text longer than ``MAX_TEXT_CHARS`` characters is embedded by its first
    ``MAX_TEXT_CHARS`` characters (cut back to the end of the last whole word
    inside them). A fact's text leads with its subject and predicate, which
    are what a query names; past some thousand words one more word barely
    moves a vector that sums them all; and the embedding's work and memory
    grow with the text (a 50 MB text took gigabytes). The prefix keeps both
    bounded and is the same in every process, so vectors stay reproducible.
    Texts within the limit embed exactly as before.
    """

    MAX_TEXT_CHARS = 1 << 16

    # Tokens whose features are kept for batch embedding; past this the table
    # starts afresh so memory stays bounded on open-ended vocabularies.
    _VOCAB_LIMIT = 1 << 19
    _BATCH_ROWS = 2048

    def __init__(self, dim: int = 256, *, word_weight: float = 1.0, trigram_weight: float = 0.5):
        if dim <= 0:
            raise ValueError("dim must be positive")
        self.dim = dim
        self.word_weight = float(word_weight)
        self.trigram_weight = float(trigram_weight)
        self._vocab_lock = threading.Lock()
        self._reset_vocab()

    @property
    def signature(self) -> bytes:
        """Identifies the vectors this embedding makes (stored beside persisted vectors)."""
        text = f"hashing/blake2b-8/{self.dim}/{self.word_weight!r}/{self.trigram_weight!r}"
        return hashlib.blake2b(text.encode(), digest_size=8).digest()

    def _features(self, token: str) -> list[tuple[int, float]]:
        ww, tw, dim = self.word_weight, self.trigram_weight, self.dim
        h = _feature_hash("w\x00" + token)
        out = [(h % dim, ww if h >> 63 else -ww)]
        padded = "<" + token + ">"
        for j in range(len(padded) - 2):
            h = _feature_hash("t\x00" + padded[j : j + 3])
            out.append((h % dim, tw if h >> 63 else -tw))
        return out

    def embedded_part(self, text: str) -> str:
        """The part of ``text`` that is embedded: all of it, or the prefix
        described in the class's documentation."""
        limit = self.MAX_TEXT_CHARS
        if len(text) <= limit:
            return text
        head = text[:limit]
        if _TOKEN_RE.match(text, limit) is not None:
            # The cut falls inside a word: that word is left out whole
            # (unless it is all of the prefix).
            partial = _TOKEN_RE.match(head[::-1])
            if partial is not None and partial.end() < len(head):
                head = head[: len(head) - partial.end()]
        return head

    def sparse(self, text: str) -> dict[int, float]:
        """Return the normalised embedding as ``{bucket: value}`` without zero entries."""
        acc: dict[int, float] = {}
        get = acc.get
        for token in _TOKEN_RE.findall(self.embedded_part(text).lower()):
            for i, w in self._features(token):
                acc[i] = get(i, 0.0) + w
        norm = math.sqrt(math.fsum(v * v for v in acc.values()))
        if norm == 0.0:
            return {}
        return {i: v / norm for i, v in acc.items() if v != 0.0}

    # --------------------------------------------------------------- batches

    def _reset_vocab(self) -> None:
        self._vocab: dict[str, int] = {}
        self._feat_start = np.zeros(1024, dtype=np.int64)
        self._feat_len = np.zeros(1024, dtype=np.int64)
        self._feat_bucket = np.zeros(1 << 14, dtype=np.int64)
        self._feat_weight = np.zeros(1 << 14, dtype=np.float64)
        self._feat_used = 0

    def _learn(self, tokens: Iterable[str]) -> None:
        for token in tokens:
            if token in self._vocab:
                continue
            feats = self._features(token)
            tid, n, used = len(self._vocab), len(feats), self._feat_used
            if tid >= len(self._feat_start):
                self._feat_start = np.resize(self._feat_start, 2 * len(self._feat_start))
                self._feat_len = np.resize(self._feat_len, 2 * len(self._feat_len))
            while used + n > len(self._feat_bucket):
                self._feat_bucket = np.resize(self._feat_bucket, 2 * len(self._feat_bucket))
                self._feat_weight = np.resize(self._feat_weight, 2 * len(self._feat_weight))
            self._feat_start[tid], self._feat_len[tid] = used, n
            self._feat_bucket[used : used + n] = [i for i, _ in feats]
            self._feat_weight[used : used + n] = [w for _, w in feats]
            self._feat_used = used + n
            self._vocab[token] = tid

    def sparse_batch(self, texts: Sequence[str]) -> SparseBatch:
        """The embeddings of ``texts``, each equal to ``sparse(text)`` (same
        buckets, same values to the last bit), computed with array operations."""
        parts = [self._sparse_rows(texts[i : i + self._BATCH_ROWS]) for i in range(0, len(texts), self._BATCH_ROWS)]
        if not parts:
            return SparseBatch(np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float64))
        if len(parts) == 1:
            return parts[0]
        counts = np.concatenate([np.diff(p.ptr) for p in parts])
        return SparseBatch(np.concatenate(([0], np.cumsum(counts))).astype(np.int64),
                           np.concatenate([p.buckets for p in parts]), np.concatenate([p.values for p in parts]))

    def _sparse_rows(self, texts: Sequence[str]) -> SparseBatch:
        n, dim = len(texts), self.dim
        part = self.embedded_part
        token_lists = [_TOKEN_RE.findall(part(t).lower()) for t in texts]
        with self._vocab_lock:
            if len(self._vocab) > self._VOCAB_LIMIT:
                self._reset_vocab()
            vocab = self._vocab
            for tokens in token_lists:
                for token in tokens:
                    if token not in vocab:
                        self._learn(tokens)
                        break
            occ = np.fromiter((vocab[t] for tokens in token_lists for t in tokens), dtype=np.int64)
            starts, lens = self._feat_start[occ], self._feat_len[occ]
            total = int(lens.sum())
            # Positions of every feature of every token occurrence, in text order.
            first = np.cumsum(lens) - lens
            pos = np.repeat(starts - first, lens) + np.arange(total, dtype=np.int64)
            bucket, weight = self._feat_bucket[pos], self._feat_weight[pos]
        row = np.repeat(np.repeat(np.arange(n, dtype=np.int64), [len(t) for t in token_lists]), lens)
        # bincount adds the weights one by one in feature order, as sparse() does.
        acc = np.bincount(row * dim + bucket, weights=weight, minlength=n * dim).reshape(n, dim)
        r, c = np.nonzero(acc)
        vals = acc[r, c]
        sq = vals * vals
        norms = np.sqrt(np.bincount(r, weights=sq, minlength=n))
        # The squares' plain sum equals fsum's correctly rounded one only when
        # every partial sum is exact: weights on a quarter grid and rows small
        # enough. Other rows take fsum itself.
        grid = all((4 * w).is_integer() for w in (self.word_weight, self.trigram_weight))
        counts = np.bincount(r, minlength=n)
        ptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
        slow = np.arange(n) if not grid else np.flatnonzero(np.bincount(r, weights=np.abs(vals), minlength=n) >= 2.0**22)
        for i in slow:
            norms[i] = math.sqrt(math.fsum(sq[ptr[i] : ptr[i + 1]].tolist()))
        return SparseBatch(ptr, c.astype(np.int64), vals / norms[r])

    def embed_query(self, text: str) -> list[float]:
        """Return the dense embedding of ``text``; all zeros when it has no word tokens."""
        vec = [0.0] * self.dim
        for i, v in self.sparse(text).items():
            vec[i] = v
        return vec

    def embed_documents(self, texts: Iterable[str]) -> list[list[float]]:
        return [self.embed_query(t) for t in texts]


def _embed_many(embedding: Any, texts: Sequence[str]) -> SparseBatch:
    # The batch path reproduces HashingEmbedding.sparse; a subclass that
    # embeds differently goes text by text.
    if isinstance(embedding, HashingEmbedding) and type(embedding).sparse is HashingEmbedding.sparse \
            and type(embedding)._features is HashingEmbedding._features:
        return embedding.sparse_batch(texts)
    rows = [embedding.sparse(t) for t in texts]
    counts = [len(r) for r in rows]
    return SparseBatch(np.concatenate(([0], np.cumsum(counts, dtype=np.int64))).astype(np.int64),
                       np.fromiter((i for r in rows for i in r), np.int64, sum(counts)),
                       np.fromiter((v for r in rows for v in r.values()), np.float64, sum(counts)))


def _signature(embedding: Any) -> bytes:
    sig = getattr(embedding, "signature", None)
    if isinstance(sig, bytes) and len(sig) == 8:
        return sig
    return hashlib.blake2b(f"{type(embedding).__qualname__}/{getattr(embedding, 'dim', '')}".encode(),
                           digest_size=8).digest()


class _Postings:
    """The stored vectors by bucket: for bucket ``b``, the slots holding it and
    their values. Scoring walks the query's buckets in the query's order and
    adds each product per slot, so every score is summed in the same order as
    a one-by-one dot product and comes out the same to the last bit."""

    def __init__(self, ptr: np.ndarray, slots: np.ndarray, values: np.ndarray, nslots: int) -> None:
        self.ptr, self.slots, self.values, self.nslots = ptr, slots, values, nslots

    @classmethod
    def build(cls, rows: SparseBatch, alive: np.ndarray, dim: int) -> "_Postings":
        n = len(rows.ptr) - 1
        slot = np.repeat(np.arange(n, dtype=np.int64), np.diff(rows.ptr))
        keep = alive[slot]
        slot, bucket, values = slot[keep], rows.buckets[keep], rows.values[keep]
        # Stable sort on 16-bit keys is a radix sort in NumPy.
        keys = bucket.astype(np.uint16) if dim <= 1 << 16 else bucket
        order = np.argsort(keys, kind="stable")
        ptr = np.concatenate(([0], np.cumsum(np.bincount(bucket, minlength=dim)))).astype(np.int64)
        return cls(ptr, slot[order], values[order], n)

    def scores(self, query: Sequence[tuple[int, float]]) -> np.ndarray:
        """The score of every slot (dead ones included)."""
        out = np.zeros(self.nslots, dtype=np.float64)
        ptr = self.ptr
        for b, v in query:
            if b + 1 >= len(ptr):
                continue
            lo, hi = ptr[b], ptr[b + 1]
            if lo != hi:
                idx = self.slots[lo:hi]  # each slot at most once per bucket
                out[idx] += v * self.values[lo:hi]
        return out


def _index_value(index: dict[Any, list[int]], unhashable: list[int], slot: int, value: Any) -> None:
    """Files `slot` under `value` in a metadata index; values that cannot be
    dict keys are kept aside and compared one by one."""
    try:
        index.setdefault(value, []).append(slot)
    except TypeError:
        unhashable.append(slot)


class _Section:
    """Holds a store's lock; signal handlers' exceptions wait until it is
    released (``signals``), so none cuts a change of the store short."""

    __slots__ = ("_lock", "_held")

    def __init__(self, lock: threading.Lock) -> None:
        self._lock = lock

    def __enter__(self) -> None:
        self._held = signals.hold()
        try:
            self._lock.acquire()
        except BaseException:
            signals.release(self._held)
            raise

    def __exit__(self, *exc_info: Any) -> None:
        try:
            self._lock.release()
        finally:
            signals.release(self._held)


@dataclasses.dataclass(frozen=True)
class Verification:
    """What ``InMemoryVectorStore.verify`` found: the documents the files
    hold (damaged ones left out) and the problems."""

    documents: int
    problems: list[Problem]


class InMemoryVectorStore:
    """Thread-safe in-process vector store ranked by cosine similarity."""

    def __init__(
        self,
        *,
        persist_directory: str | os.PathLike[str] | None = None,
        embedding: HashingEmbedding | None = None,
        read_only: bool = False,
    ):
        self.embedding = embedding if embedding is not None else HashingEmbedding()
        self._lock = threading.Lock()
        # Slots in insertion order (the tie-break order of search); a deleted
        # document's slot stays dead until the store compacts.
        self._slot_of: dict[str, int] = {}
        self._ids: list[str | None] = []
        self._texts: list[str | None] = []
        # A document's metadata, or until it is needed, where its record lies
        # in the document file (offset, length); None once it is deleted.
        self._metas: list[dict[str, Any] | tuple[int, int] | None] = []
        self._on_disk = 0  # how many metadata are still only in the file
        self._alive = np.zeros(0, dtype=bool)
        self._vec_parts: list[SparseBatch] = []
        self._rows: SparseBatch | None = None
        self._postings: _Postings | None = None
        self._wide_scans = 0
        # metadata key -> (value -> slots, slots whose value cannot be hashed)
        self._by_value: dict[str, tuple[dict[Any, list[int]], list[int]]] = {}
        self._filter_uses: dict[str, int] = {}
        # What the last open (or verify) found wrong with the files.
        self.problems: list[Problem] = []
        self.persist_directory: str | None = None
        self._persist_path: str | None = None
        self._vectors_path: str | None = None
        self._index_path: str | None = None
        self.read_only = read_only
        if persist_directory is not None:
            self._set_directory(persist_directory)
            if not read_only:
                os.makedirs(self.persist_directory, exist_ok=True)
            self._replay(write=not read_only, build=True)

    def _set_directory(self, persist_directory: str | os.PathLike[str]) -> None:
        self.persist_directory = os.fspath(persist_directory)
        self._persist_path = os.path.join(self.persist_directory, PERSIST_FILENAME)
        self._vectors_path = os.path.join(self.persist_directory, VECTORS_FILENAME)
        self._index_path = os.path.join(self.persist_directory, INDEX_FILENAME)

    def _replay(self, *, write: bool, build: bool, thorough: bool = False) -> None:
        # Replaying makes a few objects per document and none of them
        # cyclic: the collector's passes over them would only cost time.
        enabled = gc.isenabled()
        gc.disable()
        try:
            # Not deferred: an open cut short returns no store, and what it
            # wrote so far is mended by the next open like a crash.
            self._load(write=write, build=build, thorough=thorough)
        finally:
            if enabled:
                gc.enable()

    def _section(self) -> "_Section":
        """The store's lock, held with signal handlers' exceptions deferred to its release."""
        return _Section(self._lock)

    @classmethod
    def verify(cls, persist_directory: str | os.PathLike[str], *,
               embedding: HashingEmbedding | None = None) -> Verification:
        """Checks every record and chunk of the files in ``persist_directory``
        without changing them (unlike an open, which repairs what it can)."""
        store = cls(embedding=embedding, read_only=True)
        store._set_directory(persist_directory)
        if not os.path.isdir(store.persist_directory):
            return Verification(0, [])
        store._replay(write=False, build=False, thorough=True)
        return Verification(store._verified, list(store.problems))

    @classmethod
    def open_checked(cls, persist_directory: str | os.PathLike[str], *,
                     embedding: HashingEmbedding | None = None) -> "InMemoryVectorStore":
        """A read-only store of the files in ``persist_directory``, every
        record and chunk checked as ``verify`` checks them (``problems``
        holds what was found)."""
        store = cls(embedding=embedding, read_only=True)
        store._set_directory(persist_directory)
        if os.path.isdir(store.persist_directory):
            store._replay(write=False, build=True, thorough=True)
        return store

    def _refuse_writes(self) -> None:
        if self.read_only:
            raise PermissionError(f"the vector store in {self.persist_directory} is open read-only")

    # ------------------------------------------------------------------ writes

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: Iterable[Mapping[str, Any]] | None = None,
        ids: Iterable[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Store ``texts`` and return their ids.

        A document whose id is already stored is replaced (text, metadata and
        vector); it then ranks as the newest among equal scores. An id
        repeated within the call raises ``ValueError`` and stores nothing.
        """
        self._refuse_writes()
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
        if len(set(ids)) != n:
            seen: set[str] = set()
            for doc_id in ids:
                if doc_id in seen:
                    raise ValueError(f"Document with ID {doc_id!r} already exists earlier in the same call")
                seen.add(doc_id)
        if not n:
            return ids

        # The expensive part runs outside the lock.
        metas = [dict(m) for m in metadatas]
        rows = _embed_many(self.embedding, texts)
        lines = None
        if self._persist_path is not None:
            # Serialise before touching any state so unencodable metadata
            # leaves both memory and file untouched.
            lines = [encode_record({"id": i, "text": t, "metadata": m}) for i, t, m in zip(ids, texts, metas)]

        with self._section():
            if lines is not None:
                self._persist(lines, ids, texts, metas, rows)
            replaced = [doc_id for doc_id in ids if doc_id in self._slot_of]
            self._drop(replaced)
            self._insert(ids, texts, metas, rows)
            if replaced:
                self._compact_if_sparse()
        return ids

    def delete(self, ids: Iterable[str] | None = None, **kwargs: Any) -> bool:
        """Remove the documents with these ids; unknown ids are ignored.

        Returns True: afterwards no document has any of these ids, whether
        they were stored or not, so a deletion delivered twice (after a crash
        between the call and its bookkeeping) succeeds again. ``ids=None``
        removes nothing and returns False (this store never empties itself
        by omission).
        """
        if ids is None:
            return False
        self._refuse_writes()
        if isinstance(ids, str):
            ids = [ids]
        ids = list(ids)
        with self._section():
            present = [doc_id for doc_id in dict.fromkeys(ids) if doc_id in self._slot_of]
            if present and self._persist_path is not None:
                lines = [encode_record({"id": d, "deleted": True}) for d in present]
                data = b"".join(lines)
                with self._rolled_back_on_failure():
                    offset = self._append(self._persist_path, data)
                    self._append(self._index_path, encode_index(offset, [len(line) for line in lines],
                                                                zlib.crc32(data), present, [None] * len(present),
                                                                [None] * len(present)))
            self._drop(present)
            if present:
                self._compact_if_sparse()
        return True

    def _drop(self, ids: list[str]) -> None:
        """Takes the stored documents ``ids`` out of memory. Their slots stay
        dead in the postings and the metadata indexes; search never picks them."""
        if not ids:
            return
        alive = self._alive.copy()
        slots = [self._slot_of[doc_id] for doc_id in ids]
        alive[slots] = False
        on_disk = self._on_disk - sum(1 for slot in slots if type(self._metas[slot]) is tuple)
        # Each assignment below leaves the store readable; signals are held.
        self._alive = alive
        for doc_id, slot in zip(ids, slots):
            del self._slot_of[doc_id]
            self._ids[slot] = self._texts[slot] = self._metas[slot] = None
        self._on_disk = on_disk

    def _compact_if_sparse(self) -> None:
        if len(self._ids) > 1024 and len(self._slot_of) < len(self._ids) // 2:
            self._compact()

    # ------------------------------------------------------------------- reads

    def get(self, id: str) -> Document | None:
        with self._section():
            slot = self._slot_of.get(id)
            return None if slot is None else self._document(slot)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents among ``ids``, in that order; unknown ids are left out."""
        with self._section():
            slots = [self._slot_of[i] for i in ids if i in self._slot_of]
            self._load_metadata(slots)
            return [self._document(slot) for slot in slots]

    def metadata_of(self, ids: Sequence[str], /) -> list[dict[str, Any]]:
        """The metadata of the stored documents among ``ids``, in that order;
        unknown ids are left out. Metadata still in the document file are read
        without being kept, so that a scan over every document takes no more
        memory than a chunk of them."""
        with self._section():
            metas = [self._metas[self._slot_of[i]] for i in ids if i in self._slot_of]
            places = [meta for meta in metas if type(meta) is tuple]
            read = iter(self._read_metadata(places)) if places else iter(())
            return [next(read) if type(meta) is tuple else dict(meta) for meta in metas]

    def ids(self) -> list[str]:
        """Every stored id, in insertion order."""
        with self._section():
            return list(self._slot_of)

    def __len__(self) -> int:
        with self._section():
            return len(self._slot_of)

    def __contains__(self, id: object) -> bool:
        with self._section():
            return id in self._slot_of

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
        with self._section():
            candidates = self._candidates(filter)
            if not len(candidates):
                return []
            if not q:
                scores = np.zeros(len(candidates))
            elif self._postings is not None or (len(candidates) > len(self._alive) // 8 and self._wide_scans >= 2):
                scores = np.clip(self._ensure_postings().scores(q)[candidates], -1.0, 1.0)
            else:
                # Few candidates, or one of the first searches: score their rows
                # directly rather than build the postings first.
                if len(candidates) > len(self._alive) // 8:
                    self._wide_scans += 1
                scores = np.clip(_score_rows(_take_rows(self._all_rows(), candidates), q), -1.0, 1.0)
            if k < len(candidates):
                # Everything tied with the k-th best stays in, so the stable
                # sort below can keep insertion order among equal scores.
                kth = np.partition(scores, len(scores) - k)[len(scores) - k]
                keep = np.flatnonzero(scores >= kth)
                candidates, scores = candidates[keep], scores[keep]
            order = np.argsort(-scores, kind="stable")[:k]
            self._load_metadata(candidates[order].tolist())
            return [(self._document(int(candidates[i])), float(scores[i])) for i in order]

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: Mapping[str, Any] | None = None,
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k=k, filter=filter)]

    # ---------------------------------------------------------------- internals

    def _document(self, slot: int) -> Document:
        self._load_metadata((slot,))
        return Document(page_content=self._texts[slot], metadata=dict(self._metas[slot]), id=self._ids[slot])

    def _load_metadata(self, slots: Sequence[int]) -> None:
        """Reads the metadata of ``slots`` that are still only in the file."""
        if not self._on_disk:
            return
        metas = self._metas
        wanted = [slot for slot in dict.fromkeys(slots) if type(metas[slot]) is tuple]
        if len(wanted) > 4096:
            self._all_metadata()
        elif wanted:
            for slot, meta in zip(wanted, self._read_metadata([metas[slot] for slot in wanted])):
                metas[slot] = meta
            self._on_disk -= len(wanted)

    def _insert(self, ids: list[str], texts: list[str], metas: list[dict[str, Any]], rows: SparseBatch) -> None:
        first = len(self._ids)
        alive = np.concatenate((self._alive, np.ones(len(ids), bool)))
        self._ids.extend(ids)
        self._texts.extend(texts)
        self._metas.extend(metas)
        self._alive = alive
        self._vec_parts.append(rows)
        self._rows = None
        self._postings = None
        for key, (index, unhashable) in self._by_value.items():
            self._index_into(key, index, unhashable, range(first, first + len(ids)))
        # Last: until here no id leads to the new slots.
        self._slot_of.update(zip(ids, range(first, first + len(ids))))

    def _all_rows(self) -> SparseBatch:
        if self._rows is None and len(self._vec_parts) == 1:
            self._rows = self._vec_parts[0]
        if self._rows is None:
            parts = self._vec_parts
            counts = np.concatenate([np.diff(p.ptr) for p in parts]) if parts else np.zeros(0, np.int64)
            self._rows = SparseBatch(np.concatenate(([0], np.cumsum(counts))).astype(np.int64),
                                     np.concatenate([p.buckets for p in parts]) if parts else np.zeros(0, np.int64),
                                     np.concatenate([p.values for p in parts]) if parts else np.zeros(0))
            self._vec_parts = [self._rows]
        return self._rows

    def _ensure_postings(self) -> _Postings:
        if self._postings is None:
            self._postings = _Postings.build(self._all_rows(), self._alive, self.embedding.dim)
        return self._postings

    def _compact(self) -> None:
        keep = np.flatnonzero(self._alive)
        rows = _take_rows(self._all_rows(), keep)
        self._ids = [self._ids[i] for i in keep]
        self._texts = [self._texts[i] for i in keep]
        self._metas = [self._metas[i] for i in keep]
        self._slot_of = {doc_id: slot for slot, doc_id in enumerate(self._ids)}
        self._alive = np.ones(len(keep), bool)
        self._vec_parts, self._rows, self._postings = [rows], rows, None
        self._by_value.clear()

    def _index_into(self, key: str, index: dict[Any, list[int]], unhashable: list[int], slots: Iterable[int]) -> None:
        metas = self._metas
        if self._on_disk and any(type(metas[slot]) is tuple for slot in slots):
            metas = self._all_metadata()
        for slot in slots:
            meta = metas[slot]
            if meta is None:
                continue
            value = meta.get(key, _MISSING)
            if value is not _MISSING:
                _index_value(index, unhashable, slot, value)

    def _candidates(self, filter: Mapping[str, Any] | None) -> np.ndarray:
        """The live slots whose metadata hold every entry of ``filter``, ascending."""
        alive = self._alive
        if not filter:
            return np.flatnonzero(alive)
        metas = self._metas
        if not any(key in self._by_value or self._filter_uses.get(key, 0) for key in filter):
            # A key's first use scans the metadata (cheaper than indexing it,
            # for a process that searches once); later uses build the index.
            for key in filter:
                self._filter_uses[key] = 1
            conditions = list(filter.items())
            metas = self._all_metadata()
            return np.fromiter((slot for slot, meta in enumerate(metas) if meta is not None and all(
                meta.get(key, _MISSING) == value for key, value in conditions)), np.int64)
        mask = alive.copy()
        for key, value in filter.items():
            if key not in self._by_value:
                index: dict[Any, list[int]] = {}
                unhashable: list[int] = []
                self._index_into(key, index, unhashable, range(len(metas)))
                self._by_value[key] = (index, unhashable)
            index, unhashable = self._by_value[key]
            try:
                # A dict finds exactly the keys that compare equal (1, 1.0 and True alike).
                hits = list(index.get(value, ()))
                extra = unhashable
            except TypeError:
                # An unhashable filter value: compare it with every stored one.
                hits, extra = [], [s for slots in index.values() for s in slots] + unhashable
            if extra:
                metas = self._all_metadata()
            hits.extend(s for s in extra if metas[s] is not None and metas[s].get(key, _MISSING) == value)
            step = np.zeros(len(alive), bool)
            step[np.asarray(hits, dtype=np.int64)] = True
            mask &= step
        return np.flatnonzero(mask)

    # ------------------------------------------------------------- persistence

    @contextlib.contextmanager
    def _rolled_back_on_failure(self) -> Iterator[None]:
        """Appends inside are cut off the files again when the block fails
        (a full disk), so the files stay as after the last complete call."""
        paths = (self._persist_path, self._vectors_path, self._index_path)
        sizes = []
        for path in paths:
            try:
                sizes.append(os.path.getsize(path))
            except FileNotFoundError:
                sizes.append(0)
        try:
            yield
        except BaseException:
            for path, size in zip(paths, sizes):
                with suppress(OSError):
                    if os.path.getsize(path) > size:
                        os.truncate(path, size)
            raise

    @staticmethod
    def _append(path: str, data: bytes) -> int:
        """Appends ``data``; returns the offset it starts at."""
        with open(path, "ab") as f:
            start = f.seek(0, os.SEEK_END)
            f.write(data)
            f.flush()
        return start

    def _persist(self, lines: list[bytes], ids: list[str], texts: list[str], metas: list[dict[str, Any]],
                 rows: SparseBatch) -> None:
        # Documents first: a crash between the writes leaves vectors or index
        # entries missing, which the next open recomputes.
        data = b"".join(lines)
        with self._rolled_back_on_failure():
            offset = self._append(self._persist_path, data)
            self._append(self._vectors_path, encode_vectors(offset, ids, rows, _signature(self.embedding)))
            self._append(self._index_path, encode_index(offset, [len(line) for line in lines], zlib.crc32(data), ids,
                                                        texts, metas))

    def _parse_metadata(self, places: Sequence[tuple[int, int]], raw: list[bytes]) -> list[dict[str, Any]]:
        try:
            return [rec.get("metadata") or {} for rec in json.loads(b"[" + b",".join(raw) + b"]")]
        except ValueError:
            pass
        # Some record is unreadable (one of an older writer, which carries no
        # checksum, damaged after the open): it reads as empty metadata.
        out = []
        for (offset, _), line in zip(places, raw):
            rec = parse_record(line.strip())
            if rec is None:
                self._report([Problem(PERSIST_FILENAME, offset, "unreadable record: its metadata is lost (read as "
                                                                "empty)")])
            out.append({} if rec is None else rec.get("metadata") or {})
        return out

    def _read_metadata(self, places: Sequence[tuple[int, int]]) -> list[dict[str, Any]]:
        """The metadata of the records at ``places`` of the document file."""
        with open(self._persist_path, "rb") as f:
            raw = []
            for offset, length in places:
                f.seek(offset)
                raw.append(f.read(length))
        return self._parse_metadata(places, raw)

    def _all_metadata(self) -> list[dict[str, Any] | tuple[int, int] | None]:
        """``_metas`` with every metadata read from the file."""
        metas = self._metas
        if self._on_disk:
            slots = [slot for slot, meta in enumerate(metas) if type(meta) is tuple]
            places = [metas[slot] for slot in slots]
            if len(slots) < 64:
                loaded = self._read_metadata(places)
            else:
                # One read of the file and one parse beat a seek per record.
                with open(self._persist_path, "rb") as f:
                    data = f.read()
                loaded = self._parse_metadata(places, [data[o : o + n] for o, n in places])
            for slot, meta in zip(slots, loaded):
                metas[slot] = meta
            self._on_disk = 0
        return metas

    def _report(self, problems: list[Problem]) -> None:
        for problem in problems:
            _log.warning("vector store %s: %s", self.persist_directory, problem)
        self.problems.extend(problems)

    def _load(self, *, write: bool, build: bool, thorough: bool) -> None:
        """Replays the files. ``write`` (an open): cut what is torn or
        damaged off the ends of the files and write the vectors and index
        entries that are missing; otherwise only read. ``build``: make the
        documents the store's (``verify`` only counts them). Every record is
        checked when ``thorough``."""
        path = self._persist_path
        try:
            size = os.path.getsize(path)
        except FileNotFoundError:
            size = 0
        try:
            with open(self._index_path, "rb") as f:
                index_data = f.read()
        except FileNotFoundError:
            index_data = b""
        with (open(path, "rb") if size else io.BytesIO()) as docs:
            scan = read_index(index_data, docs, size, thorough=thorough)
            # What the index does not describe (all of it without an index, the
            # records of a writer that kept none) is read and parsed.
            covered = scan.covered
            docs.seek(covered)
            data = docs.read()
        problems = scan.problems + unreadable_in_index(scan.chunks)
        if write and scan.good_end != len(index_data):
            with open(self._index_path, "r+b") as f:
                f.truncate(scan.good_end)
        entries, tail_problems, end = parse_lines(data, covered)
        problems += tail_problems
        if write and end < len(data):
            # Drop the partial record so later appends start on a fresh line
            # instead of gluing onto the fragment.
            with open(path, "r+b") as f:
                f.truncate(covered + end)

        # Every add record in file order, and which of them survive (a re-add
        # after a deletion goes to the end, as it did when it happened).
        offsets: list[int] = []
        ids: list[str] = []
        texts: list[str] = []
        metas: list[dict[str, Any] | tuple[int, int]] = []
        values: dict[str, list[Any]] = {key: [] for key in INDEXED_KEYS}
        final: dict[str, int] = {}
        deleted: set[str] = set()
        for chunk in scan.chunks:
            chunk_ids, chunk_texts = chunk.ids, chunk.texts
            places = list(itertools.accumulate(chunk.lengths, initial=chunk.offset))
            if not chunk.bad and None not in chunk_texts and None not in chunk_ids \
                    and final.keys().isdisjoint(chunk_ids):
                # Only new documents (the usual add): taken over whole.
                final.update(zip(chunk_ids, range(len(offsets), len(offsets) + len(chunk_ids))))
                offsets.extend(places[:-1])
                ids.extend(chunk_ids)
                texts.extend(chunk_texts)
                metas.extend(zip(places[:-1], chunk.lengths))
                for key in INDEXED_KEYS:
                    column = chunk.values[key]
                    for i in chunk.absent[key]:
                        column[i] = _MISSING
                    values[key].extend(column)
                continue
            absent = {key: set(chunk.absent[key]) for key in INDEXED_KEYS}
            for i, (doc_id, text) in enumerate(zip(chunk_ids, chunk_texts)):
                if doc_id is None or (i in chunk.bad and text is not None):
                    continue  # unreadable: reported
                final.pop(doc_id, None)
                if text is None:
                    deleted.add(doc_id)  # a damaged deletion still holds: the index records it
                    continue
                final[doc_id] = len(offsets)
                offsets.append(places[i])
                ids.append(doc_id)
                texts.append(text)
                metas.append((places[i], places[i + 1] - places[i]))
                for key in INDEXED_KEYS:
                    values[key].append(_MISSING if i in absent[key] else chunk.values[key][i])
        on_disk = len(metas)
        tail: tuple[list[str | None], list[str | None], list[dict[str, Any] | None]] = ([], [], [])
        for entry in entries:
            rec = entry.record
            doc_id = None if rec is None else rec["id"]
            is_deletion = rec is not None and rec.get("deleted") is True
            meta = None if rec is None or is_deletion else rec.get("metadata") or {}
            for column, value in zip(tail, (doc_id, None if rec is None or is_deletion else rec["text"], meta)):
                column.append(value)
            if doc_id is None:
                continue
            final.pop(doc_id, None)
            if is_deletion:
                deleted.add(doc_id)
                continue
            final[doc_id] = len(offsets)
            offsets.append(entry.offset)
            ids.append(doc_id)
            texts.append(rec["text"])
            metas.append(meta)
            for key in INDEXED_KEYS:
                values[key].append(meta.get(key, _MISSING))
        if entries and write:
            # The parsed records go into the index for the next open
            # (unreadable ones as such, so that they are reported again).
            with suppress(OSError):
                self._append(self._index_path, encode_index(covered, [e.length for e in entries],
                                                            zlib.crc32(memoryview(data)[:end]), *tail))
        # Documents the index knows of that are gone (the document file was
        # cut short, or records were damaged beyond their line).
        lost = [doc_id for doc_id in alive_in_index(scan.recorded) if doc_id not in final and doc_id not in deleted]
        if lost:
            examples = ", ".join(repr(doc_id) for doc_id in lost[:3]) + (", ..." if len(lost) > 3 else "")
            problems.append(Problem(PERSIST_FILENAME, None,
                                    f"{len(lost):,} document{'s' if len(lost) != 1 else ''} recorded in "
                                    f"{INDEX_FILENAME} can no longer be read and are lost ({examples})",
                                    lost=len(lost)))

        # Deletions the index records past the end of a document file that
        # was cut short still hold.
        cut_off: dict[str, bool] = {}
        for chunk in scan.recorded:
            ends = list(itertools.accumulate(chunk.lengths, initial=chunk.offset))[1:]
            for end_at, doc_id, text in zip(ends, chunk.ids, chunk.texts):
                if end_at > size and doc_id is not None:
                    cut_off[doc_id] = text is None
        undone = [doc_id for doc_id, deletion in cut_off.items() if deletion and doc_id in final]
        if undone:
            problems.append(Problem(PERSIST_FILENAME, None,
                                    f"{len(undone):,} deletion{'s' if len(undone) != 1 else ''} recorded in "
                                    f"{INDEX_FILENAME} were cut off with the file; they are applied again"))

        rows = self._load_vectors(offsets, ids, texts, problems, write=write, build=build)
        if not build:
            self.problems = problems
            self._verified = len(final) - len(undone)
            return
        if thorough:
            self.problems = problems  # a check: its caller reports them
        else:
            self._report(problems)
        if len(final) == len(offsets) and all(a == b for a, b in zip(final.values(), range(len(offsets)))):
            keep = None
        else:
            keep = np.fromiter(final.values(), np.int64, len(final))
            ids, texts, metas = [ids[i] for i in keep], [texts[i] for i in keep], [metas[i] for i in keep]
            values = {key: [column[i] for i in keep] for key, column in values.items()}
            rows = _take_rows(rows, keep)
        self._insert(ids, texts, metas, rows)
        self._on_disk = on_disk if keep is None else sum(1 for m in metas if type(m) is tuple)
        self._index_values(values)
        if undone and write:
            self.delete(undone)
        elif undone:
            self._drop(undone)

    def _index_values(self, values: dict[str, list[Any]]) -> None:
        for key, column in values.items():
            index: dict[Any, list[int]] = {}
            unhashable: list[int] = []
            for slot, value in enumerate(column):
                if value is not _MISSING:
                    _index_value(index, unhashable, slot, value)
            self._by_value[key] = (index, unhashable)

    def _load_vectors(self, offsets: list[int], ids: list[str], texts: list[str], problems: list[Problem], *,
                      write: bool, build: bool) -> SparseBatch | None:
        """The vectors of every add record: read from the vector file as far as
        it agrees with the documents, the rest embedded again (and appended
        with ``write``); only checked without ``build``."""
        signature = _signature(self.embedding)
        try:
            with open(self._vectors_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            data = b""
        parts, covered, good, found = read_vectors(data, offsets, ids, signature, getattr(self.embedding, "dim", None))
        problems += found
        if not build:
            return None
        if write and good != len(data):
            with open(self._vectors_path, "r+b") as f:
                f.truncate(good)
        if covered < len(offsets):
            missing = _embed_many(self.embedding, texts[covered:])
            if write:
                self._append(self._vectors_path, encode_vectors(offsets[covered], ids[covered:], missing, signature))
            parts.append(missing)
        return _concat(parts)

    def compact(self) -> None:
        """Rewrites the persisted files with the stored documents only:
        deleted documents, deletion records and unreadable records go, and
        every record carries a checksum afterwards. Each file is written
        beside the old one and renamed over it; a crash in between leaves
        files that the next open repairs from the document file."""
        self._refuse_writes()
        with self._section():
            if self._persist_path is None:
                self._compact()
                return
            known = {key: self._values_by_slot(key) for key in INDEXED_KEYS}
            live = np.flatnonzero(self._alive)
            self._compact()
            known = {key: None if column is None else [column.get(int(slot), _MISSING) for slot in live]
                     for key, column in known.items()}
            self._rewrite(known)

    def _values_by_slot(self, key: str) -> dict[int, Any] | None:
        """The indexed values of ``key`` by slot, None when they are not all known."""
        if key not in self._by_value:
            return None
        index, unhashable = self._by_value[key]
        if unhashable:
            return None
        return {slot: value for value, slots in index.items() for slot in slots}

    def _rewrite(self, known: dict[str, list[Any] | None]) -> None:
        temp = {path: path + ".compact" for path in (self._persist_path, self._vectors_path, self._index_path)}
        n = len(self._ids)
        rows = self._all_rows()
        values: dict[str, list[Any]] = {key: [] for key in INDEXED_KEYS}
        places: list[tuple[int, int]] = []
        signature = _signature(self.embedding)
        step = 4096
        with open(self._persist_path, "rb") as old, open(temp[self._persist_path], "wb") as docs, \
                open(temp[self._vectors_path], "wb") as vecs, open(temp[self._index_path], "wb") as index:
            for lo in range(0, n, step):
                hi = min(n, lo + step)
                lines = []
                chunk_values: list[dict[str, Any]] = []
                for slot in range(lo, hi):
                    meta = self._metas[slot]
                    parsed: dict[str, Any] | None = None
                    if type(meta) is tuple:
                        old.seek(meta[0])
                        line = old.read(meta[1]).strip()
                        if checksum_state(line):
                            line += b"\n"
                        elif parse_record(line) is not None:
                            line = with_checksum(line)
                        else:
                            # A record of an older writer, damaged since the open.
                            self._report([Problem(PERSIST_FILENAME, meta[0], f"unreadable record of document "
                                                  f"{self._ids[slot]!r}: rewritten with empty metadata")])
                            meta = {}
                        if any(known[key] is None for key in INDEXED_KEYS) and type(meta) is tuple:
                            parsed = (parse_record(line[:-1]) or {}).get("metadata") or {}
                    if type(meta) is not tuple:
                        line = encode_record({"id": self._ids[slot], "text": self._texts[slot], "metadata": meta})
                        parsed = meta
                    lines.append(line)
                    chunk_values.append({key: (parsed.get(key, _MISSING) if known[key] is None
                                               else known[key][slot]) for key in INDEXED_KEYS})
                data = b"".join(lines)
                offset = docs.tell()
                docs.write(data)
                lengths = [len(line) for line in lines]
                places.extend(zip(itertools.accumulate(lengths, initial=offset), lengths))
                ids = self._ids[lo:hi]
                vecs.write(encode_vectors(offset, ids, _take_rows(rows, np.arange(lo, hi, dtype=np.int64)),
                                          signature))
                index.write(encode_index(offset, lengths, zlib.crc32(data), ids, self._texts[lo:hi],
                                         [{k: v for k, v in row.items() if v is not _MISSING}
                                          for row in chunk_values]))
                for key in INDEXED_KEYS:
                    values[key].extend(row[key] for row in chunk_values)
            for f in (docs, vecs, index):
                f.flush()
                os.fsync(f.fileno())
        # Without vector and index files a crash before the last rename leaves
        # a document file (old or new) that is read in full on the next open.
        for path in (self._vectors_path, self._index_path):
            with suppress(FileNotFoundError):
                os.unlink(path)
        for path in (self._persist_path, self._index_path, self._vectors_path):
            os.replace(temp[path], path)
        for slot, meta in enumerate(self._metas):
            if type(meta) is tuple:
                self._metas[slot] = places[slot]
        self._by_value.clear()
        self._index_values(values)
        self.problems = []


def _concat(parts: list[SparseBatch]) -> SparseBatch:
    if not parts:
        return SparseBatch(np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0))
    if len(parts) == 1:
        return parts[0]
    counts = np.concatenate([np.diff(p.ptr) for p in parts])
    return SparseBatch(np.concatenate(([0], np.cumsum(counts))).astype(np.int64),
                       np.concatenate([p.buckets for p in parts]), np.concatenate([p.values for p in parts]))


def _score_rows(rows: SparseBatch, query: Sequence[tuple[int, float]]) -> np.ndarray:
    """Dot products of ``query`` with each row, summed in the query's order
    (a bucket a row lacks adds a zero product, as a one-by-one sum does)."""
    n = len(rows.ptr) - 1
    column = np.full(max(b for b, _ in query) + 1, -1, dtype=np.int64)
    for j, (b, _) in enumerate(query):
        column[b] = j
    buckets = rows.buckets
    inside = buckets < len(column)
    hit = np.flatnonzero(inside)
    hit = hit[column[buckets[hit]] >= 0]
    grid = np.zeros((len(query), n))
    row_of = np.repeat(np.arange(n, dtype=np.int64), np.diff(rows.ptr))
    grid[column[buckets[hit]], row_of[hit]] = rows.values[hit]
    out = np.zeros(n)
    for j, (_, v) in enumerate(query):
        out += v * grid[j]
    return out


def _take_rows(rows: SparseBatch, keep: np.ndarray) -> SparseBatch:
    """The rows ``keep`` of ``rows``, in that order."""
    counts = rows.ptr[keep + 1] - rows.ptr[keep]
    first = np.cumsum(counts) - counts
    pos = np.repeat(rows.ptr[keep] - first, counts) + np.arange(int(counts.sum()), dtype=np.int64)
    return SparseBatch(np.concatenate(([0], np.cumsum(counts))).astype(np.int64), rows.buckets[pos], rows.values[pos])

"""The files of a persisted ``InMemoryVectorStore``: how records and chunks are
written, and how they are read back so that damage is told apart from a
write cut short by a crash and from files that another writer left behind.

- ``vectorstore.jsonl``, the record: one JSON object per line, a document
  (id, text, metadata) or a deletion (id, ``"deleted": true``). A line begins
  with ``{"c":"XXXXXXXX",``: the CRC-32 (hex) of the rest of the line without
  its newline. Lines of older writers carry no checksum and are read as they
  are.
- ``vectorstore.vec``: one chunk of vectors per add (magic ``KGV3``: header,
  CRC-32 of the header and the body, body). ``KGV2`` chunks of older writers
  carry no checksum; their vectors are checked for plausibility instead
  (finite, unit length, buckets within the embedding).
- ``vectorstore.idx``: one chunk per write describing a byte range of the
  document file: per record its length, id, text (null for a deletion) and the
  values of ``INDEXED_KEYS`` (magic ``KGX2``: CRC-32 of the described document
  bytes, CRC-32 of the chunk). ``KGX1`` chunks of older writers carry neither;
  their first and last record are compared with the documents instead.

The vector and index files hold nothing that the documents do not: a chunk
that is damaged or disagrees is dropped and computed again from the documents.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import struct
import zlib
from collections.abc import Mapping, Sequence
from typing import Any, BinaryIO

import numpy as np

PERSIST_FILENAME = "vectorstore.jsonl"
VECTORS_FILENAME = "vectorstore.vec"
INDEX_FILENAME = "vectorstore.idx"

# Metadata keys whose values the index file keeps, so that filtering on them
# needs no metadata parsed.
INDEXED_KEYS = ("user_id", "org_id")

MISSING = object()


@dataclasses.dataclass(frozen=True)
class Problem:
    """Damage found in a persisted store's files.

    ``lost``: documents known to be lost with it (0 when none are, or when
    which ones cannot be told). ``derived``: only data that is computed again
    from the documents (vectors, index) was hit, so nothing is lost.
    """

    file: str
    offset: int | None
    message: str
    lost: int = 0
    derived: bool = False

    def __str__(self) -> str:
        where = self.file if self.offset is None else f"{self.file} at byte {self.offset}"
        return f"{where}: {self.message}"


# ------------------------------------------------------------------ records

_RECORD_HEAD = b'{"c":"'
_RECORD_BODY = 16  # len('{"c":"') + 8 hex digits + len('",')
_dumps = json.JSONEncoder(ensure_ascii=False).encode


def encode_record(record: Mapping[str, Any]) -> bytes:
    """One line of the document file: ``record`` as JSON, led by its checksum."""
    body = _dumps(record)[1:].encode("utf-8")
    return _RECORD_HEAD + b"%08x" % zlib.crc32(body) + b'",' + body + b"\n"


def with_checksum(line: bytes) -> bytes:
    """A line of an older writer (without its newline) with a checksum put in."""
    body = line[1:]
    return _RECORD_HEAD + b"%08x" % zlib.crc32(body) + b'",' + body + b"\n"


def checksum_state(line: bytes) -> bool | None:
    """For a line of the document file without its newline: True when its
    checksum matches, False when it does not, None for a line of an older
    writer, which carries none."""
    if line[:6] != _RECORD_HEAD:
        return None
    if line[14:16] != b'",':
        return False
    try:
        want = int(line[6:14], 16)
    except ValueError:
        return False
    return zlib.crc32(line[_RECORD_BODY:]) == want


def valid_record(rec: Any) -> bool:
    if not isinstance(rec, dict) or not isinstance(rec.get("id"), str):
        return False
    if rec.get("deleted") is True:
        return True
    return isinstance(rec.get("text"), str) and isinstance(rec.get("metadata", {}), dict)


def parse_record(line: bytes) -> dict[str, Any] | None:
    """The record of a line (without its newline), or None when it is damaged."""
    if checksum_state(line) is False:
        return None
    try:
        rec = json.loads(line)
    except ValueError:  # UnicodeDecodeError included
        return None
    return rec if valid_record(rec) else None


@dataclasses.dataclass(slots=True)
class Entry:
    """One line of the document file as read back: ``record`` is None when
    the line is unreadable."""

    offset: int
    length: int  # up to the next entry, blank lines included
    record: dict[str, Any] | None


def parse_lines(data: bytes, base: int) -> tuple[list[Entry], list[Problem], int]:
    """The records of ``data`` (document file bytes from offset ``base``).

    Returns the entries, the problems, and how many bytes of ``data`` end in a
    whole line; an incomplete last line (a write cut short) is reported and
    left out. Unreadable lines are reported (runs of them as one problem) and
    kept as entries without a record, so that their bytes stay accounted for.
    """
    problems: list[Problem] = []
    end = data.rfind(b"\n") + 1
    if data[end:].strip():
        problems.append(Problem(PERSIST_FILENAME, base + end,
                                f"the last record is incomplete ({len(data) - end:,} bytes; a write was cut "
                                "short): dropped, with the document or deletion it held"))
    lines = data[:end].split(b"\n")
    starts = [base]
    for raw in lines:
        starts.append(starts[-1] + len(raw) + 1)
    numbered = [i for i, raw in enumerate(lines) if raw.strip()]
    records: list[Any] | None = None
    if all(checksum_state(lines[i]) is not False for i in numbered):
        try:
            # One parse of the whole run is several times quicker than one per line.
            records = json.loads(b"[" + b",".join([lines[i] for i in numbered]) + b"]")
        except ValueError:
            records = None
        if records is not None and not all(valid_record(rec) for rec in records):
            records = None
    if records is None:
        records = [parse_record(lines[i]) for i in numbered]
    # Each entry spans up to the next one, blank lines included.
    bounds = [base] + [starts[i] for i in numbered[1:]] + [base + end]
    entries = [Entry(bounds[k], bounds[k + 1] - bounds[k], rec) for k, rec in enumerate(records)]
    k = 0
    while k < len(entries):
        if entries[k].record is not None:
            k += 1
            continue
        first = k
        while k < len(entries) and entries[k].record is None:
            k += 1
        start, stop = starts[numbered[first]], bounds[k]
        n = k - first
        problems.append(Problem(PERSIST_FILENAME, start,
                                f"unreadable ({n:,} line{'s' if n != 1 else ''}, {stop - start:,} bytes): "
                                "the documents or deletions there are lost"))
    return entries, problems, end


# ------------------------------------------------------------------- vectors

@dataclasses.dataclass(slots=True)
class SparseBatch:
    """Embeddings of several texts in compressed rows: the vector of text ``i``
    has the buckets ``buckets[ptr[i]:ptr[i+1]]`` with ``values`` alike."""

    ptr: np.ndarray  # int64, len n + 1
    buckets: np.ndarray  # int64
    values: np.ndarray  # float64

    def row(self, i: int) -> dict[int, float]:
        lo, hi = int(self.ptr[i]), int(self.ptr[i + 1])
        return dict(zip(self.buckets[lo:hi].tolist(), self.values[lo:hi].tolist()))


# One chunk of the vector file per add: the byte offset of its first record
# in the document file and a digest of its ids (together they tie the two
# files), the number of vectors, of stored entries, and the embedding's
# signature; in KGV3 then the CRC-32 of all that and the body; then the
# per-vector entry counts (uint32), buckets (uint32) and values (float64).
_CHUNK = struct.Struct("<4sQ8sIQ8s")
_SUM = struct.Struct("<I")
_MAGIC_OLD = b"KGV2"
_MAGIC = b"KGV3"


def ids_digest(ids: Sequence[str]) -> bytes:
    return hashlib.blake2b("\n".join(ids).encode("utf-8", "surrogatepass"), digest_size=8).digest()


def encode_vectors(offset: int, ids: Sequence[str], batch: SparseBatch, signature: bytes) -> bytes:
    counts = np.diff(batch.ptr).astype("<u4")
    head = _CHUNK.pack(_MAGIC, offset, ids_digest(ids), len(counts), len(batch.buckets), signature)
    body = b"".join((counts.tobytes(), batch.buckets.astype("<u4").tobytes(), batch.values.astype("<f8").tobytes()))
    return head + _SUM.pack(zlib.crc32(body, zlib.crc32(head))) + body


def _plausible(counts: np.ndarray, buckets: np.ndarray, values: np.ndarray, dim: int | None) -> bool:
    """Whether vectors of a chunk without checksum look like this store's:
    finite, unit length (or empty), buckets within the embedding."""
    if not np.all(np.abs(values) <= 1.0 + 1e-9) or (dim is not None and len(buckets) and int(buckets.max()) >= dim):
        return False  # NaN fails the first test too
    rows = np.repeat(np.arange(len(counts), dtype=np.int64), counts)
    norms = np.bincount(rows, weights=values * values, minlength=len(counts))
    return bool(np.all((counts == 0) | (np.abs(norms - 1.0) < 1e-6)))


def read_vectors(data: bytes, offsets: Sequence[int], ids: Sequence[str], signature: bytes,
                 dim: int | None) -> tuple[list[SparseBatch], int, int, list[Problem]]:
    """The chunks of the vector file that agree with the documents, in order.

    Returns the vectors, how many documents they cover, the byte up to which
    the file is good, and what damage was found. A chunk of another
    embedding, one that describes other documents (the file is behind or the
    documents were rewritten) and a torn last chunk end the reading quietly:
    the vectors from there on are computed again.
    """
    parts: list[SparseBatch] = []
    problems: list[Problem] = []
    covered = pos = 0

    def damaged(what: str) -> None:
        problems.append(Problem(VECTORS_FILENAME, pos, f"{what}; the vectors from here on are computed again "
                                "from the documents", derived=True))

    while pos < len(data):
        magic = data[pos:pos + 4]
        if magic not in (_MAGIC, _MAGIC_OLD):
            if len(data) - pos >= 4:
                damaged("not the start of a chunk (damaged)")
            break
        head_size = _CHUNK.size + (_SUM.size if magic == _MAGIC else 0)
        if pos + head_size > len(data):
            break  # torn
        _, offset, digest, n, nnz, sig = _CHUNK.unpack_from(data, pos)
        size = head_size + 4 * n + 12 * nnz
        if pos + size > len(data):
            # A chunk that runs past the end: the last write, torn, if its
            # header describes the next documents; damage otherwise.
            torn = (sig == signature and covered + n <= len(offsets) and n > 0 and offsets[covered] == offset
                    and ids_digest(ids[covered:covered + n]) == digest)
            if not torn:
                damaged("damaged chunk (it runs past the end of the file)")
            break
        body = pos + head_size
        if magic == _MAGIC:
            (want,) = _SUM.unpack_from(data, pos + _CHUNK.size)
            got = zlib.crc32(memoryview(data)[body:pos + size], zlib.crc32(memoryview(data)[pos:pos + _CHUNK.size]))
            if got != want:
                damaged("damaged chunk (checksum)")
                break
        if sig != signature:
            break  # another embedding
        if n == 0 or covered + n > len(offsets) or offsets[covered] != offset \
                or ids_digest(ids[covered:covered + n]) != digest:
            break  # describes other documents
        counts = np.frombuffer(data, "<u4", n, body).astype(np.int64)
        if int(counts.sum()) != nnz:
            damaged("damaged chunk (its counts disagree)")
            break
        buckets = np.frombuffer(data, "<u4", nnz, body + 4 * n).astype(np.int64)
        values = np.frombuffer(data, "<f8", nnz, body + 4 * n + 4 * nnz).astype(np.float64)
        if magic == _MAGIC_OLD and not _plausible(counts, buckets, values, dim):
            damaged("damaged chunk (its vectors are not unit vectors of this embedding)")
            break
        parts.append(SparseBatch(np.concatenate(([0], np.cumsum(counts))), buckets, values))
        covered += n
        pos += size
    return parts, covered, pos, problems


# --------------------------------------------------------------------- index

_INDEX_OLD = struct.Struct("<4sQQI")  # magic, offset, bytes described, payload length
_INDEX = struct.Struct("<4sQQIII")  # ... then CRC-32 of the described documents, of the chunk
_INDEX_MAGIC_OLD = b"KGX1"
_INDEX_MAGIC = b"KGX2"


def encode_index(offset: int, lengths: Sequence[int], docs_crc: int, ids: Sequence[str | None],
                 texts: Sequence[str | None], metas: Sequence[Mapping[str, Any] | None]) -> bytes:
    """An index chunk for the records at ``offset`` (``lengths`` bytes each,
    whose bytes have the CRC-32 ``docs_crc``). An id of None marks an
    unreadable record; a text of None a deletion."""
    values: dict[str, list[Any]] = {key: [] for key in INDEXED_KEYS}
    absent: dict[str, list[int]] = {key: [] for key in INDEXED_KEYS}
    for i, meta in enumerate(metas):
        for key in INDEXED_KEYS:
            value = MISSING if meta is None else meta.get(key, MISSING)
            if value is MISSING:
                absent[key].append(i)
                value = None
            values[key].append(value)
    payload = json.dumps({"lengths": list(lengths), "ids": list(ids), "texts": list(texts), "values": values,
                          "absent": absent}, ensure_ascii=False).encode("utf-8", "surrogatepass")
    head = _INDEX.pack(_INDEX_MAGIC, offset, sum(lengths), len(payload), docs_crc, 0)[:-4]
    return head + _SUM.pack(zlib.crc32(payload, zlib.crc32(head))) + payload


@dataclasses.dataclass(slots=True)
class IndexChunk:
    offset: int
    nbytes: int
    lengths: list[int]
    ids: list[str | None]
    texts: list[str | None]
    values: dict[str, list[Any]]
    absent: dict[str, list[int]]
    bad: set[int] = dataclasses.field(default_factory=set)  # records damaged in the document file


@dataclasses.dataclass(slots=True)
class IndexScan:
    chunks: list[IndexChunk]  # those that agree with the documents, from the start without a gap
    covered: int  # the document bytes they describe
    good_end: int  # the index bytes they take
    recorded: list[IndexChunk]  # every readable chunk, those past the agreeing ones included
    problems: list[Problem]


def _payload(raw: bytes) -> IndexChunk | None:
    try:
        chunk = json.loads(raw)
        lengths, ids, texts = chunk["lengths"], chunk["ids"], chunk["texts"]
        values, absent = chunk["values"], chunk["absent"]
        ok = (len(lengths) == len(ids) == len(texts) > 0
              and all(isinstance(n, int) and n > 0 for n in lengths)
              and all(len(values[key]) == len(ids) for key in INDEXED_KEYS))
    except (ValueError, KeyError, TypeError):
        return None
    return IndexChunk(0, sum(lengths), lengths, ids, texts, values, absent) if ok else None


def _compare(buf: bytes, pos: int, n: int, doc_id: str | None, text: str | None) -> str:
    """'ok', 'bad' (damaged) or 'other' (a readable record, but not the one
    the index describes) for the record that an index places at ``pos``
    (``n`` bytes) of the document bytes ``buf``."""
    nl = buf.find(b"\n", pos)
    rec = parse_record(buf[pos:nl if nl >= 0 else len(buf)].strip())
    if rec is None:
        return "bad"
    same = (doc_id is not None and rec["id"] == doc_id and nl < pos + n and not buf[nl + 1:pos + n].strip()
            and (rec.get("deleted") is True if text is None
                 else rec.get("deleted") is not True and rec.get("text") == text))
    return "ok" if same else "other"


def _check_records(buf: bytes, chunk: IndexChunk) -> set[int] | None:
    """The damaged records of a chunk whose document bytes are ``buf``, or
    None when the chunk describes other documents than these."""
    states = []
    pos = 0
    for n, doc_id, text in zip(chunk.lengths, chunk.ids, chunk.texts):
        states.append(_compare(buf, pos, n, doc_id, text))
        pos += n
    if "other" in states or "ok" not in states:
        # Readable records that are not the ones described, or nothing that
        # is: the documents were rewritten, not damaged in place.
        return None
    return {i for i, state in enumerate(states) if state == "bad"}


def read_index(data: bytes, docs: BinaryIO, size: int, *, thorough: bool = False) -> IndexScan:
    """The index chunks that describe the document file (``size`` bytes,
    open as ``docs``) from its start without a gap.

    A chunk whose document bytes fail their checksum has its damaged records
    found one by one (``bad``); ``thorough`` does that for every chunk.
    Chunks past the agreeing ones are read on (``recorded``) as long as they
    are readable, so that documents the index knows of and the document file
    lost can be counted.
    """
    problems: list[Problem] = []
    chunks: list[IndexChunk] = []
    recorded: list[IndexChunk] = []
    covered = good_end = pos = 0
    agreeing = True
    while pos < len(data):
        magic = data[pos:pos + 4]
        if magic not in (_INDEX_MAGIC, _INDEX_MAGIC_OLD):
            if len(data) - pos >= 4:
                problems.append(Problem(INDEX_FILENAME, pos, "not the start of a chunk (damaged); the index is "
                                        "rebuilt from the documents", derived=True))
            break
        head = _INDEX if magic == _INDEX_MAGIC else _INDEX_OLD
        if pos + head.size > len(data):
            break  # torn
        fields = head.unpack_from(data, pos)
        offset, nbytes, plen = fields[1], fields[2], fields[3]
        body = pos + head.size
        if body + plen > len(data):
            break  # torn
        payload = data[body:body + plen]
        if magic == _INDEX_MAGIC and zlib.crc32(payload, zlib.crc32(memoryview(data)[pos:body - 4])) != fields[5]:
            problems.append(Problem(INDEX_FILENAME, pos, "damaged chunk (checksum); the index is rebuilt from the "
                                    "documents", derived=True))
            break
        chunk = _payload(payload)
        if chunk is None or chunk.nbytes != nbytes:
            problems.append(Problem(INDEX_FILENAME, pos, "unreadable chunk; the index is rebuilt from the documents",
                                    derived=True))
            break
        chunk.offset = offset
        recorded.append(chunk)
        pos = body + plen
        if not agreeing:
            continue
        if offset != covered:
            agreeing = False  # the documents were rewritten
            continue
        if offset + nbytes > size:
            agreeing = False
            problems.append(Problem(PERSIST_FILENAME, size,
                                    f"the file ends here, but {INDEX_FILENAME} describes records up to byte "
                                    f"{offset + nbytes:,} (at least): the file was cut short"))
            continue
        docs.seek(offset)
        buf = docs.read(nbytes)
        if magic == _INDEX_MAGIC and not thorough:
            checked = zlib.crc32(buf) == fields[4]
        elif magic == _INDEX_MAGIC_OLD and not thorough:
            ends = len(chunk.lengths) - 1
            checked = (_compare(buf, 0, chunk.lengths[0], chunk.ids[0], chunk.texts[0]) == "ok"
                       and _compare(buf, nbytes - chunk.lengths[-1], chunk.lengths[-1], chunk.ids[ends],
                                    chunk.texts[ends]) == "ok")
            if not checked:
                agreeing = False
                continue
        else:
            checked = False
        if not checked:
            bad = _check_records(buf, chunk)
            if bad is None:
                agreeing = False
                continue
            chunk.bad = bad
            for i in sorted(bad):
                where = offset + sum(chunk.lengths[:i])
                doc_id, text = chunk.ids[i], chunk.texts[i]
                if doc_id is None:
                    continue  # reported as unreadable when it was indexed
                what = (f"the record of document {doc_id!r} is damaged: it is left out" if text is not None
                        else f"the deletion record of {doc_id!r} is damaged; the deletion still holds (the index "
                             "records it)")
                problems.append(Problem(PERSIST_FILENAME, where, what))
        chunks.append(chunk)
        covered += nbytes
        good_end = pos
    return IndexScan(chunks, covered, good_end, recorded, problems)


def unreadable_in_index(chunks: Sequence[IndexChunk]) -> list[Problem]:
    """The records that an index marks as unreadable (found so on an earlier
    open): reported again, as long as they are in the file."""
    problems = []
    for chunk in chunks:
        if None in chunk.ids:
            place = chunk.offset
            for n, doc_id in zip(chunk.lengths, chunk.ids):
                if doc_id is None:
                    problems.append(Problem(PERSIST_FILENAME, place, f"unreadable ({n:,} bytes; found earlier): "
                                            "the document or deletion there is lost"))
                place += n
    return problems


def alive_in_index(chunks: Sequence[IndexChunk]) -> dict[str, None]:
    """The ids that are stored according to ``chunks`` (read in order)."""
    alive: dict[str, None] = {}
    for chunk in chunks:
        for doc_id, text in zip(chunk.ids, chunk.texts):
            if doc_id is None:
                continue
            if text is None:
                alive.pop(doc_id, None)
            else:
                alive[doc_id] = None
    return alive

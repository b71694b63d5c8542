"""Copies of a graph: ``backup`` and ``restore`` (the database and the vector
store together, with a manifest that is checked before anything is
replaced) and ``export`` (every fact as JSON Lines or Parquet)."""

from __future__ import annotations

import json
import os
import shutil
import sys
import time
from collections.abc import Callable
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from kgraph_cli import files, render
from kgraph_cli.store import (DB_FILENAME, VECTORS_DIRNAME, CommandError, DamagedDatabase, copy_database, count_facts,
                              expand, graph_path, open_graph, stream)

MANIFEST = "manifest.json"
MANIFEST_KIND = "kgraph backup"
VECTOR_FILES = ("vectorstore.jsonl", "vectorstore.vec", "vectorstore.idx")


class _Bytes:
    """Progress in bytes for copying and checking files."""

    def __init__(self, label: str, total: int) -> None:
        from kgraph_cli.progress import Progress

        self.progress = Progress(label, total=total, item_name="MB", every_items=500)
        self.done = 0

    def __call__(self, n: int) -> None:
        self.done += n
        self.progress.update(done=self.done, items=self.done // 1_000_000)

    def finish(self) -> None:
        self.progress.finish()


def _graph_files(path: Path) -> list[str]:
    """The files of a graph that a backup holds, relative to its directory."""
    names = [DB_FILENAME]
    names += [f"{VECTORS_DIRNAME}/{name}" for name in VECTOR_FILES if (path / VECTORS_DIRNAME / name).is_file()]
    return names


def cmd_backup(args: Any) -> int:
    path = graph_path(args)
    dest = expand(args.dest)
    if dest.exists() and (not dest.is_dir() or any(dest.iterdir())):
        raise CommandError(f"{dest} exists and is not an empty directory; a backup goes into a new one")
    # Read-only: the graph may sit on read-only media. This process holds
    # the database's lock (shared with other readers), so nothing writes
    # while the files are copied.
    graph = open_graph(path, create=False, vectors=True, wait=args.wait, read_only=True)
    facts, documents = count_facts(graph), len(graph.vector_store)
    names = _graph_files(path)
    wal = path / (DB_FILENAME + ".wal")
    # Writes a crash left in the log are not in the database file yet: the
    # database is then copied through DuckDB, which reads both.
    through_database = wal.exists() and wal.stat().st_size > 0
    partial = dest.with_name(f".{dest.name}.partial-{os.getpid()}")
    shutil.rmtree(partial, ignore_errors=True)
    meter = _Bytes(f"backing up to {dest}", sum((path / name).stat().st_size for name in names))
    try:
        copied = {}
        for name in names:
            if name == DB_FILENAME and through_database:
                partial.mkdir(parents=True, exist_ok=True)
                copy_database(graph.conn, partial / name)
                files.sync_file(partial / name)
                copied[name] = files.checksum(partial / name)
                meter((path / name).stat().st_size)
            else:
                copied[name] = files.copy(path / name, partial / name, meter)
        meter.finish()
        manifest = {"kind": MANIFEST_KIND, "version": 1,
                    "created": datetime.now(timezone.utc).isoformat(timespec="seconds"),
                    "source": str(path.resolve()), "facts": facts, "documents": documents, "files": copied}
        (partial / MANIFEST).write_text(json.dumps(manifest, indent=2) + "\n", encoding="utf-8")
        for directory in {partial / name for name in names} | {partial / MANIFEST}:
            files.sync_directory(directory.parent)
        if dest.exists():
            dest.rmdir()
        os.rename(partial, dest)
    except BaseException:
        meter.finish()
        shutil.rmtree(partial, ignore_errors=True)
        raise
    size = sum(int(entry["bytes"]) for entry in copied.values())
    if args.json:
        render.emit(render.to_json({"backup": str(dest), **{k: manifest[k] for k in ("facts", "documents", "files")}}))
    else:
        render.emit(f"backed up {render.plural(facts, 'fact')} and {render.plural(documents, 'document')} of {path} "
                    f"to {dest} ({render.format_bytes(size)}; {MANIFEST} lists every file with its SHA-256)")
    return 0


def _read_manifest(src: Path) -> dict[str, Any]:
    try:
        manifest = json.loads((src / MANIFEST).read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise CommandError(f"{src} is no kgraph backup (no {MANIFEST}); nothing was changed") from None
    except (OSError, ValueError) as exc:
        raise CommandError(f"{src / MANIFEST} is unreadable ({exc}); nothing was changed") from exc
    entries = manifest.get("files") if isinstance(manifest, dict) else None
    if (not isinstance(manifest, dict) or manifest.get("kind") != MANIFEST_KIND or not isinstance(entries, dict)
            or DB_FILENAME not in entries or not isinstance(manifest.get("facts"), int)
            or any(name.startswith("/") or ".." in Path(name).parts for name in entries)):
        raise CommandError(f"{src / MANIFEST} is not a kgraph backup manifest; nothing was changed")
    return manifest


def _verify_backup(src: Path, manifest: dict[str, Any]) -> None:
    """Every file's size and SHA-256, the facts the database holds and the
    documents of the vector store, against the manifest."""
    import duckdb

    from corvanta.vectorstores.memory import InMemoryVectorStore

    entries = manifest["files"]
    meter = _Bytes(f"checking {src}", sum(int(e.get("bytes", 0)) for e in entries.values()))
    try:
        for name, entry in entries.items():
            if not (src / name).is_file():
                raise CommandError(f"backup {src} is incomplete: {name} is missing; nothing was changed")
            if files.checksum(src / name, meter) != {"bytes": entry.get("bytes"), "sha256": entry.get("sha256")}:
                raise CommandError(f"backup {src} is damaged: {name} does not match its size and SHA-256 in "
                                   f"{MANIFEST}; nothing was changed")
    finally:
        meter.finish()
    try:
        with duckdb.connect(str(src / DB_FILENAME), read_only=True) as conn:
            (facts,) = conn.execute("SELECT count(*) FROM facts").fetchone()
    except duckdb.Error as exc:
        raise CommandError(f"the database of backup {src} cannot be read ({exc}); nothing was changed") from exc
    if facts != manifest["facts"]:
        raise CommandError(f"the database of backup {src} holds {facts:,} facts, its manifest says "
                           f"{manifest['facts']:,}; nothing was changed")
    if any(name.startswith(VECTORS_DIRNAME + "/") for name in entries):
        # The bytes are the ones the backup took (their checksums agree), so
        # this is a last look that they read back as the documents counted.
        checked = InMemoryVectorStore.verify(src / VECTORS_DIRNAME)
        if checked.documents != manifest.get("documents"):
            raise CommandError(f"the vector store of backup {src} holds {checked.documents:,} readable documents, "
                               f"its manifest says {manifest.get('documents')}; nothing was changed")


def cmd_restore(args: Any) -> int:
    src = expand(args.src)
    manifest = _read_manifest(src)
    _verify_backup(src, manifest)
    path = graph_path(args)
    # Opening the target holds its lock for the whole replacement; a graph
    # that is not there yet is created empty and replaced at once.
    try:
        graph = open_graph(path, create=True, vectors=False, wait=args.wait)
    except DamagedDatabase as exc:
        # Nothing can open it, so nothing holds it either.
        if not args.yes:
            raise CommandError(f"{exc} -- add --yes to replace it with the backup") from exc
        graph = None
    held = count_facts(graph) if graph is not None else 0
    vectors = path / VECTORS_DIRNAME
    has_documents = any(f.stat().st_size for f in vectors.glob("vectorstore.*")) if vectors.is_dir() else False
    if (held or has_documents) and not args.yes:
        raise CommandError(f"the graph at {path} holds {render.plural(held, 'fact')}"
                           f"{' and documents' if has_documents else ''}; restoring replaces them with the "
                           f"backup's {render.plural(manifest['facts'], 'fact')}: add --yes to go ahead "
                           "(nothing was changed)")
    if graph is not None:
        graph.conn.execute("CHECKPOINT")
    staged_db = path / (DB_FILENAME + ".restore")
    staged_vectors = path / (VECTORS_DIRNAME + ".restore")
    for leftover in (staged_db, staged_vectors):
        files.remove(leftover)
    entries = manifest["files"]
    meter = _Bytes(f"restoring {src}", sum(int(e["bytes"]) for e in entries.values()))
    try:
        for name, entry in entries.items():
            target = staged_db if name == DB_FILENAME else staged_vectors / Path(name).relative_to(VECTORS_DIRNAME)
            if files.copy(src / name, target, meter) != {"bytes": entry["bytes"], "sha256": entry["sha256"]}:
                raise CommandError(f"{name} changed while it was copied from {src}; nothing was replaced")
        meter.finish()
        staged_vectors.mkdir(exist_ok=True)
    except BaseException:
        meter.finish()
        files.remove(staged_db)
        files.remove(staged_vectors)
        raise
    # The database is replaced while this process still holds the old file's
    # lock: a process waiting for it opens the restored file.
    os.replace(staged_db, path / DB_FILENAME)
    (path / (DB_FILENAME + ".wal")).unlink(missing_ok=True)
    files.swap_directory(staged_vectors, vectors)
    if graph is not None:
        graph.conn.close()
    replaced = f"; the {render.plural(held, 'fact')} it held before are gone" if held else ""
    if args.json:
        render.emit(render.to_json({"restored": str(path), "backup": str(src), "facts": manifest["facts"],
                                    "documents": manifest.get("documents"), "created": manifest.get("created"),
                                    "replaced_facts": held}))
    else:
        render.emit(f"restored {render.plural(manifest['facts'], 'fact')} and "
                    f"{render.plural(manifest.get('documents') or 0, 'document')} into {path} from {src} (a backup "
                    f"of {manifest.get('source')} taken {manifest.get('created')}){replaced}")
    return 0


EXPORT_SQL = ("SELECT json_object('id', id, 'created_at', created_at, 'subject', subject, 'predicate', predicate, "
              "'object', obj, 'user_id', user_id, 'org_id', org_id, 'metadata', metadata) FROM facts")
# The metadata as strict JSON text: a row whose text holds NaN or Infinity
# goes through strict_json (below); DuckDB passes the others on as they are.
PARQUET_SQL = ("COPY (SELECT id, created_at, subject, predicate, obj AS object, user_id, org_id, "
               "CASE WHEN regexp_matches(CAST(metadata AS VARCHAR), 'NaN|Infinity') "
               "THEN kgraph_strict_json(CAST(metadata AS VARCHAR)) ELSE CAST(metadata AS VARCHAR) END AS metadata "
               "FROM facts) TO ? (FORMAT parquet)")
_NON_FINITE = ("NaN", "Infinity")


class _StrictJson:
    """JSON text with NaN and infinities written as null, as --json writes
    them; counts the texts it changed."""

    def __init__(self) -> None:
        self.patched = 0

    def __call__(self, text: str) -> str:
        record = json.loads(text)
        if render.finite(record) == record:  # the words are inside strings only
            return text
        self.patched += 1
        return render.to_json(record, indent=None)


def _export_jsonl(graph: Any, out: Any, total: int) -> tuple[int, int]:
    """Writes every fact as one JSON line; returns the facts written and how
    many had NaN or infinite numbers in their metadata (written as null)."""
    from kgraph_cli.progress import Progress

    progress = Progress("exporting", total=total, item_name="facts", every_items=100_000)
    written = 0
    strict = _StrictJson()
    try:
        for rows in stream(graph, EXPORT_SQL, size=10_000):
            lines = [row[0] for row in rows]
            for i, line in enumerate(lines):
                if any(word in line for word in _NON_FINITE):
                    lines[i] = strict(line)
            out.write("\n".join(lines) + "\n")
            written += len(lines)
            progress.update(done=written, items=written)
    finally:
        progress.finish()
    return written, strict.patched


def cmd_export(args: Any) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=False, wait=args.wait, read_only=True)
    total = count_facts(graph)
    started = time.monotonic()
    patched = 0
    if args.format == "parquet":
        if args.output in (None, "-"):
            raise CommandError("Parquet is written to a file: add -o FILE")
    out_path = None if args.output in (None, "-") else expand(args.output)
    partial = None if out_path is None else out_path.with_name(f".{out_path.name}.partial-{os.getpid()}")
    try:
        if args.format == "parquet":
            assert partial is not None
            strict = _StrictJson()
            cursor = graph.conn.cursor()  # a connection of its own for the function
            try:
                cursor.create_function("kgraph_strict_json", strict, ["VARCHAR"], "VARCHAR", side_effects=True)
                cursor.execute(PARQUET_SQL, [str(partial)])
            finally:
                cursor.close()
            written, patched = total, strict.patched
        elif partial is None:
            written, patched = _export_jsonl(graph, sys.stdout, total)
            sys.stdout.flush()
        else:
            with open(partial, "w", encoding="utf-8") as f:
                written, patched = _export_jsonl(graph, f, total)
        if partial is not None:
            os.replace(partial, out_path)
    finally:
        if partial is not None:
            partial.unlink(missing_ok=True)
    seconds = time.monotonic() - started
    where = "standard output" if out_path is None else str(out_path)
    text = (f"exported {render.plural(written, 'fact')} to {where} as {args.format} in {seconds:.1f} s "
            f"({written / seconds if seconds else 0:,.0f} facts/s)")
    if patched:
        text += (f"; {render.plural(patched, 'fact')} had NaN or infinite numbers in their metadata, which JSON "
                 "cannot hold: written as null")
    # The facts may be on standard output; the summary then goes to standard error.
    print(text, file=sys.stderr if out_path is None else sys.stdout, flush=True)
    return 0


def register(command: Callable[..., Any]) -> None:
    p = command("backup", cmd_backup, "copy the database and the vector store into a directory",
                "Copy the graph's database and vector store into DEST (a new or empty\n"
                "directory), consistently: this process holds the database's lock while it\n"
                "copies, after a checkpoint. DEST/manifest.json lists every file with its\n"
                "size and SHA-256 and the numbers of facts and documents; 'kgraph restore'\n"
                "checks them all before it replaces anything.")
    p.add_argument("dest", metavar="DEST", help="the directory to create")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("restore", cmd_restore, "put a backup in place of the graph",
                "Check the backup in SRC against its manifest (every file's size and SHA-256,\n"
                "the facts in its database, the documents in its vector store), then put its\n"
                "database and vector store in place of the graph's (--path), holding the\n"
                "graph's lock. A graph that holds facts or documents is replaced only with\n"
                "--yes; a backup that fails a check changes nothing.")
    p.add_argument("src", metavar="SRC", help="a directory written by 'kgraph backup'")
    p.add_argument("--yes", action="store_true", help="replace a graph that holds facts")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("export", cmd_export, "write every fact as JSON Lines or Parquet",
                "Write every fact with its id, created_at, subject, predicate, object,\n"
                "user_id, org_id and metadata, streaming (the facts are never held in memory\n"
                "at once). JSON Lines goes to standard output unless -o names a file;\n"
                "'kgraph load' reads it back (the same ids; created_at is stamped anew).\n"
                "NaN and infinities in metadata, which JSON cannot hold, are written as null.\n"
                "Parquet (DuckDB's own writer, -o required) holds the metadata as JSON text.")
    p.add_argument("-o", "--output", metavar="FILE", help="the file to write (default: standard output)")
    p.add_argument("--format", choices=("jsonl", "parquet"), default="jsonl", help="default: jsonl")

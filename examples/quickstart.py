"""Opens a store in a directory, writes a few facts and reads them back by
every route the store offers.

    .venv/bin/python examples/quickstart.py [DIRECTORY]
"""

import sys
import tempfile

from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph


def main() -> None:
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="kgraph-")
    graph = DuckSqliteGraph(directory)
    print(f"store at {graph.db_path}")

    actor = {"user_id": "ada", "org_id": "acme", "graph_slice_id": "onboarding"}
    for subject, predicate, obj in [
        ("ada", "mentors", "grace"),
        ("grace", "maintains", "compiler"),
        ("compiler", "targets", "x86-64"),
    ]:
        fact_id = graph.upsert_fact(subject, predicate, obj, dict(actor))
        print(f"wrote {subject} -{predicate}-> {obj}  id={fact_id[:12]}")

    # Many facts at once: one statement for the rows, one add for the documents.
    team = [(f"engineer-{i}", "works_on", "compiler", {**actor, "graph_slice_id": "team"}) for i in range(100)]
    print(f"wrote {len(upsert_facts(graph, team))} facts in one batch")

    print("\nsearch 'who maintains the compiler':")
    for hit in graph.search("who maintains the compiler", user_id="ada", org_id="acme", k=2):
        print(f"  {hit['subject']} -{hit['predicate']}-> {hit['object']}  score={hit['score']:.3f}")

    print("\nneighbours of 'ada' within 2 hops:")
    for fact in graph.get_neighbours("ada", depth=2):
        print(f"  {fact['subject']} -{fact['predicate']}-> {fact['object']}")

    print("\nfacts of acme in slice 'onboarding':")
    for fact in graph.fetch_by_metadata(org_id="acme", filters={"graph_slice_id": "onboarding"}):
        print(f"  {fact['subject']} -{fact['predicate']}-> {fact['object']}  {fact['metadata']}")

    deleted = graph.delete_context(org_id="acme", graph_slice_id="onboarding")
    print(f"\ndeleted the slice: {deleted} facts")


if __name__ == "__main__":
    main()

"""kgraph load: JSON Lines and CSV input, refusals with line numbers, the
written/replaced/refused summary and the exit status."""

from __future__ import annotations

import json
import os
import pty
import re
import select
import subprocess
import sys
import textwrap

import pytest

from cli_support import kgraph, tool_env, write_jsonl

GOOD = {"subject": "parser", "predicate": "written_in", "object": "C++",
        "metadata": {"graph_slice_id": "px"}, "user_id": "alice", "org_id": "acme"}

# (line text, what the refusal must say). Each sits on its own line of one file,
# after a good line, so the line numbers of the reports can be checked.
BAD_LINES = [
    ("not json at all", "not valid JSON"),
    ('{"subject": "a", "predicate": "b", "object": "c",', "not valid JSON"),
    ("[1, 2, 3]", "expected a JSON object, got array"),
    ('{"predicate": "b", "object": "c"}', "missing 'subject'"),
    ('{"subject": "a", "predicate": "b"}', "missing 'object'"),
    ('{"subject": 5, "predicate": "b", "object": "c"}', "'subject' must be text, got number"),
    ('{"subject": "a", "predicate": "b", "object": null}', "'object' must be text, got null"),
    ('{"subject": "a", "predicate": "b", "object": "c", "metadata": [1]}', "'metadata' must be a JSON object"),
    ('{"subject": "a", "predicate": "b", "object": "c", "metadata": {"user_id": 7}}',
     "metadata 'user_id' must be text, got number"),
    ('{"subject": "a", "predicate": "b", "object": "c", "org_id": "x", "metadata": {"org_id": "y"}}',
     "'org_id' is given twice"),
    ('{"subject": "a", "predicate": "b", "object": "c", "obj": "c"}', "both 'object' and 'obj'"),
    ('{"subject": "a", "predicate": "b", "object": "c", "colour": "red"}', "unknown field 'colour'"),
]


@pytest.fixture(scope="module")
def mixed_load(tmp_path_factory):
    """One load of a file mixing good lines, a blank line, a repeated fact and
    every kind of bad line."""
    tmp = tmp_path_factory.mktemp("mixed")
    lines: list[object] = [GOOD]
    bad_at: dict[int, str] = {}
    for text, reason in BAD_LINES:
        lines.append(text)
        bad_at[len(lines)] = reason
    lines.append("")  # blank: skipped, neither stored nor refused
    lines.append({"subject": "lexer", "predicate": "feeds", "obj": "parser", "user_id": "bob",
                  "graph_slice_id": "px"})  # no org: --org fills it in
    lines.append(GOOD)  # the same fact again: replaced
    path = write_jsonl(tmp / "facts.jsonl", lines)
    run = kgraph("--path", tmp / "g", "load", path, "--org", "acme", cwd=tmp)
    stored = kgraph("--path", tmp / "g", "fetch", "--org", "acme", "--json", cwd=tmp)
    return run, bad_at, stored


def test_mixed_file_summary_and_exit_status(mixed_load):
    run, bad_at, _ = mixed_load
    assert run.returncode == 1, run
    assert f"written 2, replaced 1, refused {len(bad_at)}" in run.stdout
    assert "Traceback" not in run.stderr


@pytest.mark.parametrize("case", range(len(BAD_LINES)), ids=[r for _, r in BAD_LINES])
def test_each_bad_line_is_reported_with_its_number(mixed_load, case):
    run, bad_at, _ = mixed_load
    line_no = sorted(bad_at)[case]
    reports = [line for line in run.error_lines if re.search(rf"\bline {line_no}:", line)]
    assert len(reports) == 1, run
    assert bad_at[line_no] in reports[0]


def test_only_bad_lines_are_reported(mixed_load):
    run, bad_at, _ = mixed_load
    reported = sorted(int(m.group(1)) for m in re.finditer(r"\bline (\d+):", run.stderr))
    assert reported == sorted(bad_at)


def test_scope_fields_and_defaults_go_into_the_metadata(mixed_load):
    _, _, stored = mixed_load
    facts = {(r["subject"], r["predicate"], r["object"]): r["metadata"] for r in stored.json()}
    assert facts == {
        ("parser", "written_in", "C++"): {"user_id": "alice", "org_id": "acme", "graph_slice_id": "px"},
        ("lexer", "feeds", "parser"): {"user_id": "bob", "graph_slice_id": "px", "org_id": "acme"},
    }


def test_loading_again_replaces_and_json_summary(tmp_path):
    path = write_jsonl(tmp_path / "f.jsonl", [GOOD, {**GOOD, "object": "Rust"}])
    first = kgraph("--path", "g", "load", path, "--json", cwd=tmp_path)
    again = kgraph("--path", "g", "load", path, "--json", cwd=tmp_path)
    assert first.returncode == 0 and again.returncode == 0, (first, again)
    assert (first.json()["written"], first.json()["replaced"], first.json()["refused"]) == (2, 0, 0)
    assert (again.json()["written"], again.json()["replaced"], again.json()["refused"]) == (0, 2, 0)
    assert again.json()["facts_per_second"] > 0


def test_the_same_triple_for_another_user_is_a_new_fact(tmp_path):
    path = write_jsonl(tmp_path / "f.jsonl", [GOOD, {**GOOD, "user_id": "carol"}])
    run = kgraph("--path", "g", "load", path, "--json", cwd=tmp_path)
    assert (run.json()["written"], run.json()["replaced"]) == (2, 0)


CSV_TEXT = (
    "Subject,predicate,OBJ,metadata,user_id,org_id,graph_slice_id\n"     # 1: header, any case, obj alias
    'lexer,feeds,parser,"{""stage"": 1}",alice,acme,px\n'                # 2: good
    'doc,describes,"the parser,\nin two lines",,alice,acme,\n'          # 3-4: quoted cell spanning lines
    "short,row\n"                                                        # 5: too few cells
    'a,b,c,"{not json}",alice,acme,px\n'                                 # 6: bad metadata
    ",,,,,,\n"                                                           # 7: empty row, skipped
    'a,b,c,"[1]",alice,acme,px\n'                                        # 8: metadata not an object
    'a,b,c,"{""graph_slice_id"": ""qq""}",alice,acme,px\n'               # 9: conflicting slice
)


def test_csv_rows_are_loaded_and_bad_rows_reported_by_line(tmp_path):
    (tmp_path / "f.csv").write_text(CSV_TEXT, encoding="utf-8")
    run = kgraph("--path", "g", "load", "f.csv", cwd=tmp_path)
    assert run.returncode == 1, run
    assert "written 2, replaced 0, refused 4" in run.stdout
    reported = {int(m.group(1)): line for line in run.error_lines
                for m in [re.search(r"\bline (\d+): (.*)", line)] if m}
    assert sorted(reported) == [5, 6, 8, 9]
    assert "expected 7 cells, got 2" in reported[5]
    assert "metadata is not valid JSON" in reported[6]
    assert "must be a JSON object" in reported[8]
    assert "given twice" in reported[9]
    stored = kgraph("--path", "g", "fetch", "--org", "acme", "--json", cwd=tmp_path).json()
    by_subject = {r["subject"]: r for r in stored}
    assert by_subject["lexer"]["metadata"] == {"user_id": "alice", "org_id": "acme", "graph_slice_id": "px",
                                               "stage": 1}
    assert by_subject["doc"]["object"] == "the parser,\nin two lines"
    assert by_subject["doc"]["metadata"] == {"user_id": "alice", "org_id": "acme"}


@pytest.mark.parametrize("text, span", [
    ('subject,predicate,object\nx,y,z\nd,"e,f\ng,h,i\nj,k,l\n', "lines 3 to 5"),
    # The cells still count three: such a row used to be stored whole.
    ('subject,predicate,object\nx,y,z\na,b,"c\nd\n\ne,f,g', "lines 3 to 6"),
])
def test_an_unclosed_quote_is_refused_with_the_lines_it_took(tmp_path, text, span):
    (tmp_path / "f.csv").write_text(text, encoding="utf-8")
    run = kgraph("--path", "g", "load", "f.csv", cwd=tmp_path)
    assert run.returncode == 1 and "written 1, replaced 0, refused 1" in run.stdout, run
    assert run.error_lines == [f"kgraph: f.csv line 3: the quote opened on line 3 is never closed: the cell it opens "
                               f"takes in {span} (the rest of the file), none of which is loaded; close it (a quote "
                               'inside a quoted cell is written twice: "")'], run


@pytest.mark.parametrize("header, complaint", [
    ("subj,predicate,object", "unknown column 'subj'"),
    ("subject,predicate", "no 'object' column"),
    ("subject,predicate,object,object", "appears twice"),
])
def test_a_bad_csv_header_fails_before_anything_is_written(tmp_path, header, complaint):
    (tmp_path / "f.csv").write_text(header + "\na,b,c\n", encoding="utf-8")
    run = kgraph("--path", "g", "load", "f.csv", cwd=tmp_path)
    assert run.returncode == 1
    assert len(run.error_lines) == 1 and complaint in run.stderr, run
    assert not (tmp_path / "g").exists()


@pytest.mark.parametrize("text, extra", [
    (json.dumps({"subject": "s", "predicate": "p", "object": "o"}) + "\n", []),   # sniffed: JSON Lines
    ("subject,predicate,object\ns,p,o\n", []),                                       # sniffed: CSV
    ("subject,predicate,object\ns,p,o\n", ["--format", "csv"]),
])
def test_standard_input(tmp_path, text, extra):
    run = kgraph("--path", "g", "load", "-", *extra, "--user", "u", "--org", "o", cwd=tmp_path, input=text)
    assert run.returncode == 0, run
    assert "written 1" in run.stdout
    found = kgraph("--path", "g", "search", "s p o", "--user", "u", "--org", "o", "--json", cwd=tmp_path)
    assert [(r["subject"], r["predicate"], r["object"]) for r in found.json()] == [("s", "p", "o")]


def test_format_option_overrides_the_extension(tmp_path):
    (tmp_path / "facts.txt").write_text("subject,predicate,object\ns,p,o\n", encoding="utf-8")
    assert kgraph("--path", "g", "load", "facts.txt", "--format", "csv", cwd=tmp_path).returncode == 0
    as_json = kgraph("--path", "g", "load", "facts.txt", "--format", "jsonl", cwd=tmp_path)
    assert as_json.returncode == 1 and "refused 2" in as_json.stdout


def test_non_utf8_line_is_refused_and_the_rest_loads(tmp_path):
    good = json.dumps({"subject": "s", "predicate": "p", "object": "o"}).encode()
    (tmp_path / "f.jsonl").write_bytes(good + b"\n" + b'{"subject": "\xff"}\n' + good.replace(b'"o"', b'"o2"'))
    run = kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path)
    assert run.returncode == 1
    assert "written 2, replaced 0, refused 1" in run.stdout
    assert re.search(r"line 2: not UTF-8", run.stderr), run


def test_progress_lines_when_not_a_terminal(tmp_path):
    write_jsonl(tmp_path / "f.jsonl", [{"subject": f"s{i}", "predicate": "p", "object": "o"} for i in range(25)])
    run = kgraph("--path", "g", "load", "f.jsonl", "--progress-every", "10", cwd=tmp_path)
    assert run.returncode == 0, run
    progress = [line for line in run.error_lines if line.startswith("loading f.jsonl")]
    assert len(progress) == 2, run
    assert re.search(r"\d+%, 10 lines, [\d,]+/s", progress[0]) and ", 20 lines," in progress[1]
    assert "\r" not in run.stderr and "ETA" in progress[0]


def test_progress_bar_on_a_terminal(tmp_path):
    """On a terminal, stderr gets a redrawn bar with a rate and an ETA."""
    write_jsonl(tmp_path / "f.jsonl", [{"subject": f"s{i}", "predicate": "p", "object": "o"} for i in range(400)])
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([sys.executable, "-m", "kgraph_cli", "--path", "g", "load", "f.jsonl"],
                                cwd=tmp_path, env=tool_env(), stdout=subprocess.PIPE, stderr=slave, text=True)
        os.close(slave)
        chunks = []
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                data = os.read(master, 4096)
            except OSError:  # the other side closed
                break
            if not data:
                break
            chunks.append(data)
        out, _ = proc.communicate(timeout=60)
    finally:
        os.close(master)
    bar = b"".join(chunks).decode()
    assert proc.returncode == 0
    assert "written 400" in out
    assert "\x1b[" in bar and "━" in bar and re.search(r"\d+%", bar), bar
    assert "400 lines" in bar and "/s" in bar and "ETA" in bar


def test_written_and_replaced_are_told_apart_in_large_graphs_too(tmp_path):
    """Past a size the tool looks stored identifiers up one by one instead of
    reading them all first; the counts must not change."""
    write_jsonl(tmp_path / "old.jsonl", [GOOD])
    assert kgraph("--path", "g", "load", "old.jsonl", cwd=tmp_path).returncode == 0
    new = {**GOOD, "object": "Zig"}
    write_jsonl(tmp_path / "mixed.jsonl", [GOOD, new, new])
    code = textwrap.dedent("""
        import sys
        import kgraph_cli.loading as loading
        from kgraph_cli.cli import main
        loading.KnownIds.__init__.__defaults__ = (0,)  # never read the identifiers up front
        sys.exit(main(["--path", "g", "load", "mixed.jsonl", "--json"]))
    """)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          env=tool_env(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    summary = json.loads(proc.stdout)
    assert (summary["written"], summary["replaced"]) == (1, 2)


@pytest.mark.parametrize("bulk", [True, False], ids=["batch upsert", "one by one"])
def test_a_fact_the_store_refuses_costs_only_its_line(tmp_path, bulk):
    """Lines pass the tool's checks but one is refused by the store (a lone
    surrogate cannot be hashed): the chunk holding it is written fact by fact,
    and the counts match a load without the batch upsert."""
    lines = [json.dumps({"subject": f"s{i % 7}", "predicate": "p", "object": "o"}) for i in range(30)]
    lines[12] = '{"subject": "bad\\ud800", "predicate": "p", "object": "o"}'
    (tmp_path / "f.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    code = textwrap.dedent(f"""
        import sys
        import kgraph_cli.loading as loading
        from kgraph_cli.cli import main
        if not {bulk}:
            loading._bulk_writer = lambda: None
        sys.exit(main(["--path", "g", "load", "f.jsonl", "--user", "u", "--org", "o", "--json",
                       "--progress-every", "10"]))
    """)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          env=tool_env(), timeout=120)
    assert proc.returncode == 1, proc.stderr
    summary = json.loads(proc.stdout)
    assert (summary["written"], summary["replaced"], summary["refused"]) == (7, 22, 1)
    assert re.search(r"f\.jsonl line 13: refused by the store: .*surrogate", proc.stderr), proc.stderr
    stats = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert stats["facts"] == 7


def test_refusals_in_line_order_and_facts_search_cannot_find(tmp_path):
    """A fact the store refuses (line 2) is found only when its chunk is
    written, after a line that is no JSON at all (line 3) was read."""
    lines = [json.dumps({"subject": "s", "predicate": "p", "object": "o", "user_id": "u", "org_id": "o",
                         "metadata": {"x": float("nan")}}),
             '{"subject": "bad\\ud800", "predicate": "p", "object": "o"}',
             "not json",
             json.dumps({"subject": "s", "predicate": "p", "object": "no org", "user_id": "u"}),
             json.dumps({"subject": "", "predicate": "p", "object": "o", "user_id": "u", "org_id": "o"})]
    (tmp_path / "f.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    run = kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path)
    assert run.returncode == 1, run
    assert [int(n) for n in re.findall(r"line (\d+):", run.stderr)] == [2, 3]
    assert "written 3, replaced 0, refused 2" in run.stdout
    assert "1 fact without user_id or org_id (search never finds them" in run.stdout
    assert "1 fact with an empty subject, predicate or object" in run.stdout
    fetched = kgraph("--path", "g", "fetch", "--org", "o", "--json", cwd=tmp_path).stdout
    strict = json.loads(fetched, parse_constant=lambda word: pytest.fail(f"not strict JSON: {word}"))
    assert {r["subject"]: r["metadata"].get("x", "-") for r in strict} == {"s": None, "": "-"}


def test_csv_cells_as_large_as_json_values(tmp_path):
    note = "n" * 1_000_000
    (tmp_path / "f.csv").write_text(f'subject,predicate,object,metadata\ns,p,o,"{{""note"": ""{note}""}}"\n',
                                    encoding="utf-8")
    run = kgraph("--path", "g", "load", "f.csv", "--user", "u", "--org", "o", cwd=tmp_path)
    assert run.returncode == 0 and "written 1" in run.stdout, run


@pytest.mark.parametrize("extra, counts, says", [
    ([], (2, 0, 1), "line 2: warning: its text (subject|predicate|object) is 70,004 characters long; stored whole, "
                 "but search ranks it by the first 65,536"),
    (["--max-text-bytes", "1000"], (1, 1, 0), "line 2: the object is 70,000 bytes long, over --max-text-bytes 1,000"),
])
def test_long_texts_are_named_or_refused(tmp_path, extra, counts, says):
    write_jsonl(tmp_path / "f.jsonl", [{"subject": "s", "predicate": "p", "object": "o"},
                                       {"subject": "s", "predicate": "p", "object": "word " * 14_000}])
    run = kgraph("--path", "g", "load", "f.jsonl", "--user", "u", "--org", "o", "--json", *extra, cwd=tmp_path)
    summary = run.json()
    assert (summary["written"], summary["refused"], summary["long_texts"]) == counts, run
    assert run.error_lines == [f"kgraph: f.jsonl {says}" + ("" if extra else " (--max-text-bytes refuses such facts)")]

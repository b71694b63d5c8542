"""``kgraph view``: the neighbourhood of an entity as one self-contained HTML
page, drawn in the browser by vis-network (the copy the pyvis package ships,
put inline, so the page needs no network)."""

from __future__ import annotations

import html
import json
from collections.abc import Sequence
from pathlib import Path

from kgraph_cli.render import one_line, shorten

LABEL_WIDTH = 40
TITLE_WIDTH = 300
_VIS_DIR = "vis-9.1.2"


def _vis_assets() -> tuple[str, str]:
    import pyvis

    lib = Path(pyvis.__file__).parent / "templates" / "lib" / _VIS_DIR
    return ((lib / "vis-network.min.js").read_text(encoding="utf-8"),
            (lib / "vis-network.css").read_text(encoding="utf-8"))


def _script_json(value: object) -> str:
    # Inside <script>, "</" could close the element early.
    return json.dumps(value, ensure_ascii=False).replace("</", "<\\/")


def to_html(triples: Sequence[tuple[str, str, str]], entity: str, depth: int, *, limit: int | None = None) -> str:
    """The page; ``limit``: the walk stopped at that many facts (the page
    says there may be more)."""
    ids: dict[str, int] = {entity: 0}
    for s, _, o in triples:
        for name in (s, o):
            ids.setdefault(name, len(ids))
    nodes = [{"id": i, "label": shorten(one_line(name), LABEL_WIDTH), "title": shorten(name, TITLE_WIDTH),
              **({"color": {"background": "#ffd24d", "border": "#b38600"}, "borderWidth": 3,
                  "font": {"bold": True}, "shape": "box"} if i == 0 else {})}
             for name, i in ids.items()]
    edges = [{"from": ids[s], "to": ids[o], "label": shorten(one_line(p), LABEL_WIDTH),
              "title": shorten(p, TITLE_WIDTH), "arrows": "to"} for s, p, o in triples]
    js, css = _vis_assets()
    title = f"{shorten(one_line(entity), 80)}: {len(triples):,} facts within {depth} hop{'s' if depth != 1 else ''}"
    if limit is not None:
        title += f", cut at the nearest {limit:,} (--limit): there may be more"
    title = html.escape(title)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>{css}</style>
<style>
  html, body {{ margin: 0; height: 100%; font-family: sans-serif; }}
  #head {{ padding: 6px 10px; border-bottom: 1px solid #ccc; font-size: 14px; }}
  #graph {{ position: absolute; top: 32px; bottom: 0; left: 0; right: 0; }}
</style>
</head>
<body>
<div id="head">{title}</div>
<div id="graph"></div>
<script>{js}</script>
<script>
  const nodes = new vis.DataSet({_script_json(nodes)});
  const edges = new vis.DataSet({_script_json(edges)});
  const network = new vis.Network(document.getElementById("graph"), {{nodes, edges}}, {{
    nodes: {{shape: "box", margin: 6, color: {{background: "#e8f0fe", border: "#5b7fc7"}}, font: {{size: 14}}}},
    edges: {{font: {{size: 11, align: "middle"}}, color: "#888", smooth: {{type: "dynamic"}}}},
    physics: {{stabilization: {{iterations: 300}}, barnesHut: {{springLength: 160}}}},
    interaction: {{hover: true, tooltipDelay: 150}}
  }});
  network.once("stabilizationIterationsDone", () => {{ network.setOptions({{physics: false}}); network.fit(); }});
</script>
</body>
</html>
"""

"""The run report: the asset graph drawn as SVG, coloured by status, in one self-contained HTML file.

The page is built from a plain model (see ``render``) so that it depends on no run machinery:
the caller fills the model from the plan and the run record. Nothing on the page is fetched;
user text (names, errors, tracebacks, logs) is escaped wherever it lands.
"""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Sequence

__all__ = ["Layout", "asset_status", "layout", "render", "write_report"]

# Worst first: a bin of partitions, or an asset, shows the first status present.
STATUS_ORDER = ("failed", "cancelled", "skipped", "stale", "never", "fresh", "ok")
STATUS_COLOURS = {
    "ok": "#2f9e5b",
    "fresh": "#86c99f",
    "failed": "#d2433a",
    "skipped": "#e3a92b",
    "cancelled": "#8e82ad",
    "stale": "#e67d33",
    "never": "#b9c0c8",
}

_RANK = {s: i for i, s in enumerate(STATUS_ORDER)}

# Limits that keep the page small and quick to load with 10^5 partitions and 1,000 assets.
STRIP_CELLS = 300  # one cell per partition up to this many, then bins
STRIP_CELL_BUDGET = 30_000  # cells over all strips; strips get fewer bins past it
JOB_TABLE_LIMIT = 50  # jobs listed one by one in an asset's panel; past it, a summary
JOB_ROW_BUDGET = 10_000  # such rows over all assets
FAILED_LIST_BUDGET = 2_000  # failed jobs listed (partition, error line) over all assets
FAILED_LIST_MIN = 3
DETAIL_BUDGET = 1_200_000  # characters of tracebacks and logs embedded over all assets
DETAIL_JOBS_PER_ASSET = 5  # failed jobs per asset whose traceback and log are embedded, at most
DETAIL_MAX = 12_000  # characters of one traceback or log at most
DETAIL_MIN = 600
ERROR_MAX = 300  # characters of an error line
NAME_MAX = 1_000  # characters of a name, key or path
PAGE_LIMIT = 4_800_000  # bytes

# Geometry, in pixels.
BOX_MIN_W, BOX_MIN_W_STRIP, BOX_MAX_W = 130.0, 190.0, 280.0
BOX_H, BOX_H_STRIP = 44.0, 62.0
PAD_X = 14.0
STRIP_Y, STRIP_H = 27.0, 9.0
LAYER_GAP, NODE_GAP, MARGIN = 72.0, 20.0, 24.0
DOT_TIMEOUT = 10.0


# --- the model -----------------------------------------------------------------------------

_CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ud800-\udfff]")


def _clean(text) -> str:
    """User text as something an HTML page can carry: control characters and lone surrogates out."""
    if text is None:
        return ""
    text = str(text)
    return _CONTROL.sub("\ufffd", text) if _CONTROL.search(text) else text


def asset_status(statuses: Iterable[str]) -> str:
    """An asset's status from its jobs': failed if any failed, then cancelled, skipped, stale;
    else ok (or fresh when nothing ran this time); never when no job ever materialised."""
    present = set(statuses)
    for status in ("failed", "cancelled", "skipped", "stale", "ok", "fresh"):
        if status in present:
            return status
    return "never"


def _shorten(text: str, limit: int) -> tuple[str, bool]:
    """Keeps the start and, mostly, the end (where a traceback names the error)."""
    if len(text) <= limit:
        return text, False
    head = limit // 4
    tail = limit - head
    gap = len(text) - head - tail
    return f"{text[:head]}\n… {gap:,} characters left out …\n{text[-tail:]}", True


def _tail(text: str, limit: int) -> tuple[str, bool]:
    if len(text) <= limit:
        return text, False
    return f"… {len(text) - limit:,} earlier characters left out …\n{text[-limit:]}", True


def _summary(values: Sequence[float]) -> dict | None:
    if not values:
        return None
    ordered = sorted(values)
    n = len(ordered)
    middle = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return {"n": n, "min": ordered[0], "median": middle, "max": ordered[-1], "total": sum(ordered)}


@dataclass
class _Asset:
    id: str
    label: str
    status: str
    statuses: list[str]
    counts: dict[str, int]
    partitioned: bool
    raw: Mapping


def _prepare(model: Mapping) -> list[_Asset]:
    assets = []
    for raw in model.get("assets") or ():
        jobs = raw.get("jobs") or ()
        # A status the page does not know (a job still pending, say) shows as not materialised.
        statuses = [job.get("status") if job.get("status") in _RANK else "never" for job in jobs]
        counts: dict[str, int] = {}
        for status in statuses:
            counts[status] = counts.get(status, 0) + 1
        partitioned = bool(raw.get("dimensions")) or len(jobs) > 1
        assets.append(
            _Asset(
                id=str(raw["id"]),
                label=_shorten(_clean(raw.get("label") or raw.get("key") or raw["id"]), NAME_MAX)[0],
                status=asset_status(statuses),
                statuses=statuses,
                counts=counts,
                partitioned=partitioned,
                raw=raw,
            )
        )
    return assets


def _counts_text(counts: Mapping[str, int]) -> str:
    return ", ".join(f"{counts[s]:,} {s}" for s in STATUS_ORDER if counts.get(s))


# --- layout --------------------------------------------------------------------------------


@dataclass
class Layout:
    """Top-left corners and sizes of the boxes, the drawing's size, and which engine placed them."""

    positions: dict[str, tuple[float, float]]
    sizes: dict[str, tuple[float, float]]
    width: float
    height: float
    engine: str  # "dot" or "builtin"


def layout(
    nodes: Mapping[str, tuple[float, float]],
    edges: Iterable[tuple[str, str]],
    engine: str = "auto",
    timeout: float = DOT_TIMEOUT,
) -> Layout:
    """Places boxes (id -> (width, height)) left to right along the edges (upstream, dependant).

    ``engine`` is "dot" (Graphviz, when on PATH), "builtin" or "auto" (dot if it is there and
    answers in time, else the built-in layered layout).
    """
    edge_list = [(a, b) for a, b in dict.fromkeys(edges) if a in nodes and b in nodes and a != b]
    if engine in ("auto", "dot"):
        dot = shutil.which("dot")
        if dot is not None:
            placed = _dot_layout(dot, nodes, edge_list, timeout)
            if placed is not None:
                return placed
        if engine == "dot":
            raise RuntimeError("Graphviz dot is not available or failed")
    return _layered_layout(nodes, edge_list)


def _finish(nodes: Mapping[str, tuple[float, float]], positions: dict, engine: str) -> Layout:
    """Moves the drawing to a margin from the origin and measures it."""
    if not positions:
        return Layout({}, {}, 2 * MARGIN, 2 * MARGIN, engine)
    left = min(x for x, _ in positions.values())
    top = min(y for _, y in positions.values())
    moved = {n: (round(x - left + MARGIN, 2), round(y - top + MARGIN, 2)) for n, (x, y) in positions.items()}
    width = max(x + nodes[n][0] for n, (x, _) in moved.items()) + MARGIN
    height = max(y + nodes[n][1] for n, (_, y) in moved.items()) + MARGIN
    return Layout(moved, {n: tuple(nodes[n]) for n in moved}, round(width, 2), round(height, 2), engine)


def _dot_quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "") + '"'


def _dot_layout(dot: str, nodes, edges, timeout: float) -> Layout | None:
    # Boxes are named by index and sized by us, so dot needs no user text; plain output then
    # parses without unquoting.
    names = {n: f"n{i}" for i, n in enumerate(nodes)}
    lines = [
        "digraph mervo {",
        # The page draws its own edges: dot need not route splines, its slowest stage here.
        '  graph [rankdir=LR, charset="UTF-8", splines=false, nodesep=%.3f, ranksep=%.3f];'
        % (NODE_GAP / 72, LAYER_GAP / 72),
        '  node [shape=box, fixedsize=true, label=""];',
    ]
    for n, (w, h) in nodes.items():
        lines.append(f"  {_dot_quote(names[n])} [width={w / 72:.4f}, height={h / 72:.4f}];")
    for a, b in edges:
        lines.append(f"  {_dot_quote(names[a])} -> {_dot_quote(names[b])};")
    lines.append("}")
    try:
        done = subprocess.run(
            [dot, "-Tplain"], input="\n".join(lines).encode("utf-8"), capture_output=True, timeout=timeout
        )
    except (OSError, subprocess.SubprocessError):
        return None
    if done.returncode != 0:
        return None
    by_name = {v: k for k, v in names.items()}
    centres = {}
    height = None
    for line in done.stdout.decode("utf-8", "replace").splitlines():
        fields = line.split()
        try:
            if fields[:1] == ["graph"]:
                height = float(fields[3]) * 72
            elif fields[:1] == ["node"] and fields[1] in by_name:
                centres[by_name[fields[1]]] = (float(fields[2]) * 72, float(fields[3]) * 72)
        except (IndexError, ValueError):
            return None
    if height is None or len(centres) != len(nodes):
        return None
    # Plain output is in inches with y upwards; boxes are wanted by their top-left corner.
    positions = {n: (x - nodes[n][0] / 2, height - y - nodes[n][1] / 2) for n, (x, y) in centres.items()}
    return _finish(nodes, positions, "dot")


def _layered_layout(nodes: Mapping[str, tuple[float, float]], edges: Sequence[tuple[str, str]]) -> Layout:
    preds: dict[str, list[str]] = {n: [] for n in nodes}
    succs: dict[str, list[str]] = {n: [] for n in nodes}
    for a, b in edges:
        succs[a].append(b)
        preds[b].append(a)

    # Topological order (Kahn); nodes on a cycle, which planning rejects, follow in input order
    # and their backward edges are ignored.
    indegree = {n: len(p) for n, p in preds.items()}
    queue = [n for n in nodes if indegree[n] == 0]
    order: list[str] = []
    at = 0
    while at < len(queue):
        n = queue[at]
        at += 1
        order.append(n)
        for s in succs[n]:
            indegree[s] -= 1
            if indegree[s] == 0:
                queue.append(s)
    if len(order) < len(nodes):
        seen = set(order)
        order += [n for n in nodes if n not in seen]
    rank = {n: i for i, n in enumerate(order)}
    preds = {n: [p for p in ps if rank[p] < rank[n]] for n, ps in preds.items()}
    succs = {n: [s for s in ss if rank[s] > rank[n]] for n, ss in succs.items()}

    # Longest-path layers; a source then moves right next to its nearest dependant, so that
    # an input read only late in the graph does not sit in the first column with a long edge.
    layer: dict[str, int] = {}
    for n in order:
        layer[n] = max((layer[p] + 1 for p in preds[n]), default=0)
    for n in reversed(order):
        if not preds[n] and succs[n]:
            layer[n] = max(layer[n], min(layer[s] for s in succs[n]) - 1)
    count = max(layer.values(), default=-1) + 1
    layers: list[list[str]] = [[] for _ in range(count)]
    for n in order:
        layers[layer[n]].append(n)

    # Barycentre sweeps: order each layer by the mean relative position of its neighbours.
    where: dict[str, float] = {}

    def index(members: list[str]) -> None:
        size = len(members)
        for i, n in enumerate(members):
            where[n] = (i + 0.5) / size

    for members in layers:
        index(members)
    for sweep in range(4):
        down = sweep % 2 == 0
        sequence = layers[1:] if down else layers[-2::-1]
        for members in sequence:
            keyed = []
            for i, n in enumerate(members):
                near = preds[n] if down else succs[n]
                key = sum(where[m] for m in near) / len(near) if near else where[n]
                keyed.append((key, i, n))
            keyed.sort()
            members[:] = [n for _, _, n in keyed]
            index(members)

    # Columns, each box centred in its column's width.
    x: dict[str, float] = {}
    left = 0.0
    for members in layers:
        column = max(nodes[n][0] for n in members)
        for n in members:
            x[n] = left + (column - nodes[n][0]) / 2
        left += column + LAYER_GAP

    # Vertical places: each layer as close to its neighbours' centres as the box order allows
    # (a weighted isotonic fit), forwards, backwards and forwards again.
    centre: dict[str, float] = {}
    for members in layers:
        top = -sum(nodes[n][1] + NODE_GAP for n in members) / 2
        for n in members:
            centre[n] = top + nodes[n][1] / 2
            top += nodes[n][1] + NODE_GAP
    for down in (True, False, True):
        for members in layers if down else layers[::-1]:
            targets = []
            for n in members:
                # Neighbours on the sweep's side, else on the other side (a source going forwards).
                chosen = (preds[n] or succs[n]) if down else (succs[n] or preds[n])
                targets.append((sum(centre[m] for m in chosen) / len(chosen), 1.0) if chosen else (centre[n], 0.01))
            for n, c in zip(members, _fit_in_order([nodes[n][1] for n in members], targets)):
                centre[n] = c
    positions = {n: (x[n], centre[n] - nodes[n][1] / 2) for n in nodes}
    return _finish(nodes, positions, "builtin")


def _fit_in_order(heights: Sequence[float], targets: Sequence[tuple[float, float]]) -> list[float]:
    """Centres as near the weighted targets as possible with the boxes kept in order and apart.

    With offsets o_i (the room the boxes before i need), z_i = c_i - o_i must not decrease:
    isotonic regression, solved by pooling adjacent violators.
    """
    offsets = []
    room = 0.0
    for i, h in enumerate(heights):
        if i:
            room += heights[i - 1] / 2 + NODE_GAP + h / 2
        offsets.append(room)
    blocks: list[list[float]] = []  # [weighted sum, weight, count]
    for (target, weight), offset in zip(targets, offsets):
        blocks.append([(target - offset) * weight, weight, 1])
        while len(blocks) > 1 and blocks[-2][0] / blocks[-2][1] > blocks[-1][0] / blocks[-1][1]:
            s, w, c = blocks.pop()
            blocks[-1][0] += s
            blocks[-1][1] += w
            blocks[-1][2] += c
    centres = []
    for s, w, c in blocks:
        centres += [s / w] * c
    # Rounding may leave equal z values a hair apart; the gap is what must hold.
    out = []
    for z, offset in zip(centres, offsets):
        out.append(z + offset)
    for i in range(1, len(out)):
        need = out[i - 1] + heights[i - 1] / 2 + NODE_GAP + heights[i] / 2
        if out[i] < need:
            out[i] = need
    return out


# --- drawing -------------------------------------------------------------------------------


def _char_width(ch: str, size: float) -> float:
    # An estimate of a sans-serif face: wide East Asian characters take a full em.
    if unicodedata.east_asian_width(ch) in "WF":
        return size
    return 0.0 if unicodedata.combining(ch) else size * 0.58


def _text_width(text: str, size: float = 13.0) -> float:
    return sum(_char_width(ch, size) for ch in text)


def _fit_text(text: str, width: float, size: float = 13.0) -> str:
    """`text`, cut with an ellipsis where it would overflow `width`."""
    room = width - _char_width("…", size)
    used = 0.0
    for i, ch in enumerate(text):
        used += _char_width(ch, size)
        if used > width:
            cut = i
            while cut and _text_width(text[:cut], size) > room:
                cut -= 1
            return text[:cut] + "…"
    return text


def _sub_text(asset: _Asset, ran: bool) -> str:
    """The small line under an asset's name: its partitions' counts, or its status and error."""
    if asset.partitioned:
        if not ran and asset.status == "never":
            return f"{len(asset.statuses):,} partitions, never run"
        if len(asset.counts) == 1:
            return f"all {len(asset.statuses):,} {asset.statuses[0]}"
        return _counts_text(asset.counts)
    if not ran and asset.status == "never":
        return "never run"
    error = str((asset.raw.get("jobs") or [{}])[0].get("error") or "").strip()
    if asset.status == "failed" and error:
        return f"failed · {_clean(error.splitlines()[0])[:200]}"
    return asset.status


def _box_size(asset: _Asset) -> tuple[float, float]:
    least = BOX_MIN_W
    if asset.partitioned:
        # Room for a cell of about a pixel per partition, up to the point where bins begin.
        least = max(BOX_MIN_W_STRIP, min(len(asset.statuses), STRIP_CELLS) + 2 * PAD_X)
    wanted = _text_width(asset.label) + 2 * PAD_X + 4
    if asset.status == "failed" and not asset.partitioned:
        wanted = max(wanted, _text_width(_sub_text(asset, True), 11) + 2 * PAD_X + 4)
    width = min(max(BOX_MAX_W, least), max(least, wanted))
    return (round(width, 1), BOX_H_STRIP if asset.partitioned else BOX_H)


def _num(value: float) -> str:
    text = f"{value:.2f}".rstrip("0").rstrip(".")
    return text if text != "-0" else "0"


def _esc(text) -> str:
    return html.escape(_clean(text), quote=True)


def _strip(asset: _Asset, width: float, cells: int) -> tuple[str, bool]:
    """The partition strip: one cell per partition or per bin, one path per status."""
    statuses = asset.statuses
    n = len(statuses)
    if n == 0:
        return "", False
    binned = n > cells
    count = cells if binned else n
    if binned:
        rank = _RANK
        colours = [min(statuses[i * n // count : (i + 1) * n // count], key=rank.__getitem__) for i in range(count)]
    else:
        colours = statuses
    step = width / count
    # Cells wide enough to tell apart keep a hairline between them; narrower ones merge into
    # runs of one status.
    apart = not binned and step >= 5
    runs: dict[str, list[str]] = {}
    start = 0
    for i in range(1, count + 1):
        if apart or i == count or colours[i] != colours[start]:
            w = _num((i - start) * step - (1 if apart else 0))
            runs.setdefault(colours[start], []).append(f"M{_num(start * step)} 0h{w}v{_num(STRIP_H)}h-{w}z")
            start = i
    return "".join(f'<path class="cell s-{s}" d="{"".join(d)}"/>' for s, d in runs.items()), binned


def _edge_path(a: tuple[float, float, float, float], b: tuple[float, float, float, float]) -> str:
    """A curve from the right side of box a to just before the left side of box b (the arrow head)."""
    x1, y1 = a[0] + a[2], a[1] + a[3] / 2
    x2, y2 = b[0], b[1] + b[3] / 2
    bend = max(30.0, (x2 - x1) / 2)
    points = [(x1, y1), (x1 + bend, y1), (x2 - bend, y2), (x2 - 8, y2)]
    (px, py), *rest = [(_num(x), _num(y)) for x, y in points]
    return f"M{px},{py} C" + " ".join(f"{x},{y}" for x, y in rest)


def _svg(assets: list[_Asset], placed: Layout, edges: list[dict], ran: bool, scale: float) -> tuple[str, list[str]]:
    notes = []
    strips = [a for a in assets if a.partitioned]
    cells = STRIP_CELLS
    budget = int(STRIP_CELL_BUDGET * scale)
    if strips and sum(min(len(a.statuses), STRIP_CELLS) for a in strips) > budget:
        cells = max(8, budget // len(strips))
        notes.append(f"Partition strips show at most {cells} cells each.")
    out = [
        f'<svg id="graph" data-layout="{placed.engine}" width="{_num(placed.width)}" height="{_num(placed.height)}" '
        f'viewBox="0 0 {_num(placed.width)} {_num(placed.height)}" role="img" aria-label="asset graph">',
        # Arrow heads sized in user units, so that a thicker fan-in edge keeps its tip at the box.
        '<defs><marker id="arrow" viewBox="0 0 8 8" refX="0" refY="4" markerWidth="8" markerHeight="8" '
        'markerUnits="userSpaceOnUse" orient="auto"><path d="M0,0 L8,4 L0,8 z"/></marker>'
        '<marker id="arrow-fan" viewBox="0 0 8 8" refX="0" refY="4" markerWidth="9" markerHeight="9" '
        'markerUnits="userSpaceOnUse" orient="auto"><path d="M0,0 L8,4 L0,8 z"/></marker></defs>',
        '<g class="edges">',
    ]
    boxes = {n: placed.positions[n] + placed.sizes[n] for n in placed.positions}
    for edge in edges:
        kind = "fan-in" if edge["fan_in"] else "per-partition"
        title = f"{edge['from_label']} → {edge['to_label']}: {', '.join(edge['parameters'])}"
        if edge["fan_in"]:
            title += " (all partitions, as one mapping)"
        out.append(
            f'<path class="edge {kind}" data-from="{_esc(edge["from"])}" data-to="{_esc(edge["to"])}" '
            f'd="{_edge_path(boxes[edge["from"]], boxes[edge["to"]])}"><title>{_esc(title)}</title></path>'
        )
    out.append('</g><g class="assets">')
    for asset in assets:
        x, y = placed.positions[asset.id]
        w, h = placed.sizes[asset.id]
        inner = w - 2 * PAD_X
        sub = _sub_text(asset, ran)
        title = f"{asset.label}\n{asset.raw.get('key') or ''}\n{sub}"
        out.append(
            f'<g class="asset s-{asset.status}" data-id="{_esc(asset.id)}" data-status="{asset.status}" '
            f'transform="translate({_num(x)},{_num(y)})" tabindex="0" role="button">'
            f"<title>{_esc(title)}</title>"
            f'<rect class="box" width="{_num(w)}" height="{_num(h)}" rx="5"/>'
            f'<rect class="bar" width="5" height="{_num(h)}"/>'
            f'<text class="label" x="{_num(PAD_X)}" y="18">{_esc(_fit_text(asset.label, inner))}</text>'
        )
        if asset.partitioned:
            cells_svg, binned = _strip(asset, inner, cells)
            per = ""
            if binned:
                per = f" (binned, about {len(asset.statuses) / cells:,.0f} per cell; a cell shows its worst status)"
            out.append(
                f'<g class="strip" transform="translate({_num(PAD_X)},{_num(STRIP_Y)})"'
                f'{" data-binned=" + chr(34) + "1" + chr(34) if binned else ""}>'
                f'<title>{_esc(sub + per)}</title>'
                f'<rect class="track" width="{_num(inner)}" height="{_num(STRIP_H)}"/>{cells_svg}</g>'
                f'<text class="sub" x="{_num(PAD_X)}" y="{_num(h - 9)}">{_esc(_fit_text(sub, inner, 11))}</text>'
            )
        else:
            out.append(f'<text class="sub" x="{_num(PAD_X)}" y="34">{_esc(_fit_text(sub, inner, 11))}</text>')
        out.append("</g>")
    out.append("</g></svg>")
    return "".join(out), notes


def _edges(assets: list[_Asset]) -> list[dict]:
    labels = {a.id: a.label for a in assets}
    merged: dict[tuple[str, str, bool], dict] = {}
    for asset in assets:
        for spec in asset.raw.get("inputs") or ():
            upstream = str(spec.get("upstream"))
            if upstream not in labels or upstream == asset.id:
                continue
            fan_in = bool(spec.get("fan_in"))
            edge = merged.setdefault(
                (upstream, asset.id, fan_in),
                {
                    "from": upstream,
                    "to": asset.id,
                    "fan_in": fan_in,
                    "parameters": [],
                    "from_label": labels[upstream],
                    "to_label": asset.label,
                },
            )
            edge["parameters"].append(_clean(spec.get("parameter")))
    return list(merged.values())


# --- the data behind the panel -------------------------------------------------------------


def _number(value):
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _panel_data(assets: list[_Asset], edges: list[dict], scale: float) -> tuple[list[dict], list[str]]:
    labels = {a.id: a.label for a in assets}
    used_by: dict[str, list[str]] = {}
    for edge in edges:
        used_by.setdefault(edge["from"], []).append(edge["to"])
    # Budgets shared out evenly, so that one huge asset cannot crowd out the others.
    table_limit = min(JOB_TABLE_LIMIT, max(1, int(JOB_ROW_BUDGET * scale) // max(1, len(assets))))
    failing = [a for a in assets if a.counts.get("failed")]
    least = max(1, round(FAILED_LIST_MIN * scale))
    listed_cap = max(least, int(FAILED_LIST_BUDGET * scale) // max(1, len(failing)))
    detail_budget, detail_min = int(DETAIL_BUDGET * scale), int(DETAIL_MIN * scale)
    detail_each = max(1, min(DETAIL_JOBS_PER_ASSET, detail_budget // (2 * detail_min) // max(1, len(failing))))
    detail_jobs = sum(min(detail_each, a.counts["failed"]) for a in failing)
    detail_cap = max(detail_min, min(DETAIL_MAX, detail_budget // max(1, 2 * detail_jobs)))
    shortened = 0
    out = []
    for asset in assets:
        raw = asset.raw
        jobs = raw.get("jobs") or ()
        durations = [d for d in (_number(j.get("duration")) for j in jobs) if d is not None]
        sizes = [v for v in (_number(j.get("value_size")) for j in jobs) if v is not None]
        entry = {
            "id": asset.id,
            "label": asset.label,
            "key": _shorten(_clean(raw.get("key")), NAME_MAX)[0],
            "module": _shorten(_clean(raw.get("module")), NAME_MAX)[0],
            "file": _shorten(_clean(raw.get("file")), NAME_MAX)[0],
            "line": _number(raw.get("line")),
            "format": _clean(raw.get("format")),
            "status": asset.status,
            "counts": asset.counts,
            "dimensions": [
                {"name": _clean(d.get("name")), "size": int(d.get("size") or 0)} for d in raw.get("dimensions") or ()
            ],
            "inputs": [
                {
                    "parameter": _clean(spec.get("parameter")),
                    "upstream": _clean(spec.get("upstream")),
                    "label": labels.get(str(spec.get("upstream")), _clean(spec.get("upstream"))),
                    "fan_in": bool(spec.get("fan_in")),
                }
                for spec in raw.get("inputs") or ()
            ],
            "used_by": [{"upstream": d, "label": labels[d]} for d in used_by.get(asset.id, ())],
            "durations": _summary(durations),
            "sizes": _summary(sizes),
            # [partition, status, duration, value size] per job, while the asset has few
            "jobs": None,
            "failed": [],
            "failed_total": asset.counts.get("failed", 0),
            "notes": [],
        }
        if len(jobs) <= table_limit:
            entry["jobs"] = [
                [
                    None if j.get("partition") is None else _clean(j.get("partition")),
                    status,
                    _number(j.get("duration")),
                    _number(j.get("value_size")),
                ]
                for j, status in zip(jobs, asset.statuses)
            ]
        else:
            entry["notes"].append(f"{len(jobs):,} jobs: durations and sizes are summarised.")
        failed = [j for j, status in zip(jobs, asset.statuses) if status == "failed"]
        for i, job in enumerate(failed[:listed_cap]):
            item = {
                "partition": None if job.get("partition") is None else _clean(job.get("partition")),
                "duration": _number(job.get("duration")),
                "error": _shorten(_clean(job.get("error")), ERROR_MAX)[0],
            }
            if i < detail_each:
                item["traceback"], cut_tb = _shorten(_clean(job.get("traceback")), detail_cap)
                item["log_tail"], cut_log = _tail(_clean(job.get("log_tail")), detail_cap)
                shortened += cut_tb + cut_log
            entry["failed"].append(item)
        if len(failed) > listed_cap:
            entry["notes"].append(f"Showing {listed_cap:,} of {len(failed):,} failed partitions.")
        if len(failed) > detail_each:
            entry["notes"].append(f"Tracebacks and logs are kept for the first {detail_each} failed partitions only.")
        out.append(entry)
    notes = []
    if shortened:
        notes.append(f"{shortened:,} tracebacks or logs were shortened to about {detail_cap:,} characters each.")
    return out, notes


def _script_json(value) -> str:
    """JSON that can sit inside a <script> element: no "</", "<!--" or line separators raw."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return (
        text.replace("<", "\\u003c")
        .replace(">", "\\u003e")
        .replace("&", "\\u0026")
        .replace("\u2028", "\\u2028")
        .replace("\u2029", "\\u2029")
    )


# --- the page ------------------------------------------------------------------------------


def _run_line(run: Mapping | None) -> tuple[str, str]:
    if run is None:
        return "none", "No run yet: every asset shows as never run."
    state = _clean(run.get("state") or "finished")
    outcome = "ok" if run.get("ok") else "failed"
    parts = [f"Run {state}" + ("" if state == "running" else f", {outcome}")]
    if run.get("started"):
        parts.append(f"started {_clean(run.get('started'))}")
    if isinstance(run.get("duration"), (int, float)):
        parts.append(f"took {run['duration']:.2f} s")
    counts = run.get("counts") or {}
    text = ", ".join(f"{int(n):,} {_clean(s)}" for s, n in sorted(counts.items()))
    if text:
        parts.append(text)
    css = outcome if state in ("finished", "") else "warn"
    return css, " · ".join(parts)


def render(model: Mapping, engine: str = "auto") -> str:
    """The whole report page for ``model``:

    ``{"title", "generated", "run": {"state", "ok", "started", "duration", "counts"} or None,
    "assets": [{"id", "key", "label", "module", "file", "line", "format",
    "inputs": [{"parameter", "upstream" (an asset id), "fan_in"}], "dimensions": [{"name", "size"}],
    "jobs": [{"partition", "status", "duration", "error", "value_size", "traceback", "log_tail"}]}]}``
    """
    assets = _prepare(model)
    edges = _edges(assets)
    placed = layout({a.id: _box_size(a) for a in assets}, [(e["from"], e["to"]) for e in edges], engine=engine)
    # The budgets below are sized for the page limit; should long names still push the page
    # past it, everything that is summarised anyway is cut further.
    for scale in (1.0, 0.5, 0.25, 0.1):
        page = _page(model, assets, edges, placed, scale)
        if len(page.encode("utf-8")) <= PAGE_LIMIT:
            break
    return page


def _page(model: Mapping, assets: list[_Asset], edges: list[dict], placed: Layout, scale: float) -> str:
    run = model.get("run")
    svg, strip_notes = _svg(assets, placed, edges, run is not None, scale)
    data, data_notes = _panel_data(assets, edges, scale)
    run_css, run_text = _run_line(run)
    title = _clean(model.get("title") or "mervo report")
    notes = strip_notes + data_notes
    legend = "".join(
        f'<span class="key"><i class="sw s-{s}"></i>{s}</span>'
        for s in ("ok", "failed", "skipped", "cancelled", "fresh", "stale", "never")
    )
    legend += (
        '<span class="key"><svg width="34" height="10"><path class="edge per-partition" d="M2,5 H26"/></svg>'
        "value or matching partition</span>"
        '<span class="key"><svg width="34" height="10"><path class="edge fan-in" d="M2,5 H26"/></svg>'
        "all partitions (fan-in)</span>"
    )
    counts = {}
    for asset in assets:
        counts[asset.status] = counts.get(asset.status, 0) + 1
    asset_counts = f"{len(assets):,} assets" + (f" ({_counts_text(counts)})" if assets else "")
    parts = [
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">",
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_esc(title)}</title><style>{_CSS}{_status_css()}</style></head><body>",
        f'<header><h1>{_esc(title)}</h1><p class="run {run_css}">{_esc(run_text)}</p>',
        f'<p class="meta">{_esc(asset_counts)}'
        + (f" · generated {_esc(model.get('generated'))}" if model.get("generated") else "")
        + f" · layout: {placed.engine}</p>",
        f'<div class="legend">{legend}</div>',
    ]
    if notes:
        parts.append('<ul class="notes">' + "".join(f"<li>{_esc(n)}</li>" for n in notes) + "</ul>")
    parts += [
        "</header><main>",
        f'<div id="canvas">{svg}</div>',
        '<aside id="panel" hidden><button id="close" type="button" aria-label="close">×</button>'
        '<div id="details"></div></aside>',
        "</main>",
        '<script type="application/json" id="mervo-data">',
        _script_json({"assets": data, "ran": run is not None}),
        "</script>",
        f"<script>{_SCRIPT}</script></body></html>\n",
    ]
    return "".join(parts)


def write_report(model: Mapping, path: Path, engine: str = "auto") -> Path:
    """Writes the page to ``path`` through ``path.tmp``, so a reader never sees half of it."""
    path = Path(path)
    page = render(model, engine=engine).encode("utf-8")
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "wb") as stream:
        stream.write(page)
        stream.flush()
        os.fsync(stream.fileno())
    os.replace(tmp, path)
    return path


def _status_css() -> str:
    rules = []
    for status, colour in STATUS_COLOURS.items():
        rules.append(
            f".asset.s-{status} .box{{stroke:{colour}}}.asset.s-{status} .bar,.s-{status}.cell,"
            f".sw.s-{status},.badge.s-{status}{{fill:{colour};background:{colour}}}"
        )
    return "".join(rules)


_CSS = """
*{box-sizing:border-box}
body{margin:0;font:14px/1.4 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1d232a;background:#f6f7f9;
display:flex;flex-direction:column;height:100vh}
header{padding:12px 20px 8px;background:#fff;border-bottom:1px solid #dde1e6}
h1{font-size:18px;margin:0 0 2px}
header p{margin:2px 0}
.run{font-weight:600}.run.ok{color:#1f7a44}.run.failed{color:#b3261e}.run.warn{color:#a15c00}.run.none{color:#555}
.meta{color:#5b6570;font-size:12px}
.legend{display:flex;flex-wrap:wrap;gap:4px 14px;margin-top:6px;font-size:12px;color:#3c4550}
.key{display:inline-flex;align-items:center;gap:5px}
.sw{display:inline-block;width:11px;height:11px;border-radius:2px}
.notes{margin:6px 0 0;padding-left:18px;font-size:12px;color:#a15c00}
main{display:flex;flex:1;min-height:0}
#canvas{flex:1;overflow:auto;background:#f6f7f9}
#graph{display:block}
.edge{fill:none;stroke:#7d8793;stroke-width:1.4}
.edge.per-partition{marker-end:url(#arrow)}
.edge.fan-in{stroke:#4a6fa5;stroke-width:2.2;stroke-dasharray:7 3;marker-end:url(#arrow-fan)}
#arrow path{fill:#7d8793}#arrow-fan path{fill:#4a6fa5}
.edge.lit{stroke:#1d232a;stroke-width:2.4}
.asset{cursor:pointer;outline:none}
.asset .box{fill:#fff;stroke-width:2}
.asset:hover .box,.asset:focus .box{fill:#eef3fb}
.asset.selected .box{fill:#e3ecfa;stroke-width:3.5}
.asset .label{font-size:13px;font-weight:600;fill:#1d232a}
.asset .sub{font-size:11px;fill:#4b5560}
.strip .track{fill:#eceff2}
#panel{width:min(560px,46vw);overflow:auto;background:#fff;border-left:1px solid #dde1e6;padding:14px 18px;
position:relative}
#panel[hidden]{display:none}
#close{position:absolute;right:10px;top:8px;border:0;background:none;font-size:22px;cursor:pointer;color:#5b6570}
#details h2{font-size:17px;margin:0 30px 6px 0;word-break:break-word}
.badge{display:inline-block;color:#fff;border-radius:3px;padding:0 7px;font-size:12px;font-weight:600;margin-left:4px}
#details dl{display:grid;grid-template-columns:max-content 1fr;gap:3px 12px;margin:8px 0}
#details dt{color:#5b6570}#details dd{margin:0;word-break:break-all}
#details h3{font-size:14px;margin:14px 0 4px}
#details table{border-collapse:collapse;font-size:12px;width:100%}
#details td,#details th{text-align:left;padding:2px 8px 2px 0;border-bottom:1px solid #eef0f2;word-break:break-all}
#details .num{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.failed-job{border-left:3px solid #d2433a;padding:2px 0 2px 10px;margin:10px 0}
.error{color:#b3261e;font-weight:600;margin:2px 0;word-break:break-word;white-space:pre-wrap}
pre{background:#f3f4f6;padding:8px;overflow:auto;max-height:340px;font-size:12px;margin:4px 0;white-space:pre}
.note{color:#a15c00;font-size:12px}
"""

_SCRIPT = r"""
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("mervo-data").textContent);
  var byId = {};
  data.assets.forEach(function (a) { byId[a.id] = a; });
  var nodes = {};
  Array.prototype.forEach.call(document.querySelectorAll("#graph g.asset"), function (g) {
    nodes[g.getAttribute("data-id")] = g;
  });
  var edges = Array.prototype.slice.call(document.querySelectorAll("#graph path.edge"));
  var panel = document.getElementById("panel");
  var details = document.getElementById("details");
  var current = null;

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function seconds(s) {
    if (s === null || s === undefined) return "";
    return s < 10 ? s.toFixed(3) + " s" : s.toFixed(1) + " s";
  }
  function bytes(n) {
    if (n === null || n === undefined) return "";
    if (n < 1024) return n + " B";
    if (n < 1048576) return (n / 1024).toFixed(1) + " KiB";
    return (n / 1048576).toFixed(1) + " MiB";
  }
  function counts(c) {
    var order = ["failed", "cancelled", "skipped", "stale", "never", "fresh", "ok"];
    return order.filter(function (s) { return c[s]; }).map(function (s) {
      return c[s].toLocaleString("en") + " " + s;
    }).join(", ");
  }
  function term(dl, name, value) {
    if (value === null || value === undefined || value === "") return;
    dl.appendChild(el("dt", null, name));
    var dd = el("dd");
    if (typeof value === "string") dd.textContent = value; else dd.appendChild(value);
    dl.appendChild(dd);
  }
  function links(list, describe) {
    var span = el("span");
    list.forEach(function (item, i) {
      if (i) span.appendChild(document.createTextNode(", "));
      var a = el("a", null, describe(item));
      a.href = "#asset=" + encodeURIComponent(item.upstream);
      span.appendChild(a);
    });
    return span;
  }
  function summary(s, format) {
    return "min " + format(s.min) + " · median " + format(s.median) + " · max " + format(s.max) +
      " · total " + format(s.total) + " over " + s.n.toLocaleString("en");
  }

  function show(a) {
    details.textContent = "";
    var h = el("h2", null, a.label);
    h.appendChild(el("span", "badge s-" + a.status, a.status));
    details.appendChild(h);
    var dl = el("dl");
    term(dl, "key", a.key);
    term(dl, "module", a.module);
    term(dl, "file", a.file ? a.file + (a.line ? ":" + a.line : "") : "");
    term(dl, "format", a.format);
    if (a.dimensions.length) {
      var total = a.dimensions.reduce(function (p, d) { return p * d.size; }, 1);
      term(dl, "partitions", a.dimensions.map(function (d) {
        return d.name + " (" + d.size.toLocaleString("en") + ")";
      }).join(" × ") + " = " + total.toLocaleString("en"));
    }
    if (a.inputs.length) term(dl, "inputs", links(a.inputs, function (i) {
      return i.parameter + " ← " + i.label + (i.fan_in ? " (all partitions)" : "");
    }));
    if (a.used_by.length) term(dl, "used by", links(a.used_by, function (i) { return i.label; }));
    if (a.sizes) term(dl, "value size", a.sizes.n > 1 ? summary(a.sizes, bytes) : bytes(a.sizes.total));
    details.appendChild(dl);

    details.appendChild(el("h3", null, "Last run"));
    if (!data.ran) details.appendChild(el("p", null, "No run yet."));
    else details.appendChild(el("p", null, counts(a.counts) || "no jobs"));
    if (a.durations && (!a.jobs || a.jobs.length > 1)) {
      details.appendChild(el("p", null, "durations: " + summary(a.durations, seconds)));
    }
    if (a.jobs && a.jobs.length && data.ran) {
      var table = el("table", "jobs");
      var head = el("tr");
      [["partition", null], ["status", null], ["time", "num"], ["size", "num"]].forEach(function (t) {
        head.appendChild(el("th", t[1], t[0]));
      });
      table.appendChild(head);
      a.jobs.forEach(function (j) {  // [partition, status, duration, value size]
        var tr = el("tr", "job s-" + j[1]);
        tr.appendChild(el("td", null, j[0] === null ? "—" : j[0]));
        tr.appendChild(el("td", null, j[1]));
        tr.appendChild(el("td", "num", seconds(j[2])));
        tr.appendChild(el("td", "num", bytes(j[3])));
        table.appendChild(tr);
      });
      details.appendChild(table);
    }
    if (a.failed.length) {
      details.appendChild(el("h3", null, a.failed_total > 1 ? "Failed partitions" : "Failure"));
      a.failed.forEach(function (f) {
        var box = el("div", "failed-job");
        if (f.partition !== null || f.duration !== null) {
          var took = f.duration === null ? "" : "took " + seconds(f.duration);
          box.appendChild(el("div", "partition", [f.partition, took].filter(Boolean).join(" · ")));
        }
        box.appendChild(el("p", "error", f.error || "(no error message)"));
        if (f.traceback) {
          box.appendChild(el("div", null, "traceback"));
          box.appendChild(el("pre", "traceback", f.traceback));
        }
        if (f.log_tail) {
          box.appendChild(el("div", null, "log"));
          box.appendChild(el("pre", "log", f.log_tail));
        }
        details.appendChild(box);
      });
    }
    a.notes.forEach(function (n) { details.appendChild(el("p", "note", n)); });
    panel.hidden = false;
  }

  function select(id) {
    var a = byId[id];
    if (current && nodes[current]) nodes[current].classList.remove("selected");
    edges.forEach(function (e) { e.classList.remove("lit"); });
    current = a ? id : null;
    if (!a) { panel.hidden = true; return; }
    if (nodes[id]) nodes[id].classList.add("selected");
    edges.forEach(function (e) {
      if (e.getAttribute("data-from") === id || e.getAttribute("data-to") === id) e.classList.add("lit");
    });
    show(a);
  }
  function fromHash() {
    var m = /^#asset=(.*)$/.exec(location.hash);
    var id = null;
    if (m) { try { id = decodeURIComponent(m[1]); } catch (e) { id = null; } }
    select(id);
  }
  function go(id) {
    var hash = "#asset=" + encodeURIComponent(id);
    if (location.hash !== hash) location.hash = hash; else select(id);
  }
  document.getElementById("graph").addEventListener("click", function (ev) {
    var g = ev.target.closest ? ev.target.closest("g.asset") : null;
    if (g) go(g.getAttribute("data-id"));
  });
  document.getElementById("graph").addEventListener("keydown", function (ev) {
    var g = ev.target.closest ? ev.target.closest("g.asset") : null;
    if (g && (ev.key === "Enter" || ev.key === " ")) { ev.preventDefault(); go(g.getAttribute("data-id")); }
  });
  document.getElementById("close").addEventListener("click", function () {
    history.replaceState(null, "", location.pathname + location.search);
    select(null);
  });
  document.addEventListener("keydown", function (ev) {
    if (ev.key === "Escape" && current) document.getElementById("close").click();
  });
  window.addEventListener("hashchange", fromHash);
  // Opening a link to an asset acts as a click on its box.
  var opened = /^#asset=(.*)$/.exec(location.hash), start = null;
  if (opened) { try { start = nodes[decodeURIComponent(opened[1])]; } catch (e) { start = null; } }
  if (start) start.dispatchEvent(new MouseEvent("click", {bubbles: true})); else fromHash();
  if (current && nodes[current] && nodes[current].scrollIntoView) {
    nodes[current].scrollIntoView({block: "nearest", inline: "nearest"});
  }
  document.documentElement.setAttribute("data-ready", "1");
  document.documentElement.setAttribute("data-ready-ms", String(Math.round(performance.now())));
  // Time to the first frame drawn, for checking how quickly large reports open.
  requestAnimationFrame(function () {
    setTimeout(function () {
      document.documentElement.setAttribute("data-drawn-ms", String(Math.round(performance.now())));
    }, 0);
  });
})();
"""


# --- the model of an output folder -------------------------------------------------------------

DETAIL_LIMIT = 20_000  # characters of a traceback or log tail read per failed job
DETAILED_FAILURES = 200  # failed jobs whose files are read at all; the page caps them anyway


def build_model(plan, out, title: str) -> dict:
    """The report model of `out` for `plan`: the latest run's statuses from run.json; jobs
    it did not list show "ok" when their folder holds a value, else "never"."""
    import datetime
    import os
    from pathlib import Path

    from . import jobs as job_files

    out = Path(out)
    try:
        with open(out / "run.json", encoding="utf-8") as source:
            record = json.load(source)
    except (OSError, ValueError):
        record = None
    listed = {}
    if record:
        for entry in record.get("jobs", []):
            listed[(entry.get("asset"), entry.get("partition"))] = entry
    ids = {asset.key: f"a{i}" for i, asset in enumerate(plan.assets)}
    by_key = {asset.key: asset for asset in plan.assets}
    model_assets = {asset.key: {
        "id": ids[asset.key], "key": asset.key, "label": asset.label, "module": asset.module,
        "file": asset.file_path, "line": asset.line, "format": asset.serializer or "json",
        "inputs": [{"parameter": p, "upstream": ids[u], "fan_in": plan.fan_in(asset, by_key[u])}
                   for p, u in sorted(plan.upstreams[asset.key].items()) if u in ids],
        "dimensions": [{"name": d.name, "size": d.size} for d in asset.dimensions],
        "jobs": [],
    } for asset in plan.assets}  # fmt: skip
    detailed = 0
    for job in plan.jobs:
        folder = os.fspath(plan.job_folder(out, job))
        entry = listed.get((job.asset.key, job.key))
        try:  # the value file's link, whatever its format
            names = [n for n in os.listdir(folder) if n.startswith("value.")]
        except OSError:
            names = []
        value = os.path.join(folder, names[0]) if names and os.path.exists(os.path.join(folder, names[0])) else None
        status = entry["status"] if entry else ("ok" if value else "never")
        item = {"partition": job.key, "status": status, "duration": entry.get("duration") if entry else None,
                "error": (entry.get("error") or "").split("\n")[0] or None if entry else None,
                "value_size": os.path.getsize(value) if value else None}  # fmt: skip
        if status == "failed" and detailed < DETAILED_FAILURES:
            detailed += 1
            item["traceback"] = job_files.read_tail(entry.get("traceback"), DETAIL_LIMIT)
            log = entry.get("log")
            item["log_tail"] = "\n".join(job_files.log_tail(Path(log) if log else None, 40)) or None
        model_assets[job.asset.key]["jobs"].append(item)
    run = None
    if record:
        run = {k: record.get(k) for k in ("state", "ok", "started", "duration", "counts")}
    generated = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds").replace("+00:00", "Z")
    return {"title": title, "generated": generated, "run": run, "assets": list(model_assets.values())}

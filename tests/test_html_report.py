"""The HTML run report: layouts, escaping, size limits, and the page in a real browser."""

import json
import random
import re
import shutil
import time
from urllib.parse import quote

import pytest

from mervo.html_report import asset_status, layout, render, write_report
from support import (
    box_overlaps,
    chromium,
    example_report_model,
    find_chromium,
    report_asset,
    report_model,
    under_address_sanitizer,
)

NO_DOT = pytest.mark.skipif(not shutil.which("dot"), reason="no Graphviz dot")
ENGINES = ["builtin", pytest.param("dot", marks=NO_DOT)]


def random_dag(n, seed=7):
    rng = random.Random(seed)
    return [(f"n{rng.randrange(max(0, i - 40), i)}", f"n{i}") for i in range(1, n) for _ in range(rng.randint(1, 3))]


SHAPES = {
    "chain": (6, [(f"n{i}", f"n{i + 1}") for i in range(5)]),
    "diamond": (4, [("n0", "n1"), ("n0", "n2"), ("n1", "n3"), ("n2", "n3")]),
    "crossed": (5, [("n0", "n3"), ("n1", "n2"), ("n1", "n3")]),
    "wide fan-in": (201, [(f"n{i}", "n200") for i in range(200)]),
    "1000 nodes": (1000, random_dag(1000)),
}


def crossings(placed, edges):
    """Crossing pairs among edges between the same two columns, judged by box centres."""
    w, h = {n: s[0] for n, s in placed.sizes.items()}, {n: s[1] for n, s in placed.sizes.items()}
    centre = {n: (round(x + w[n] / 2), y + h[n] / 2) for n, (x, y) in placed.positions.items()}
    found = 0
    for i, (a, b) in enumerate(edges):
        for c, d in edges[i + 1:]:
            same_columns = centre[a][0] == centre[c][0] and centre[b][0] == centre[d][0]
            if same_columns and (centre[a][1] - centre[c][1]) * (centre[b][1] - centre[d][1]) < 0:
                found += 1
    return found


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("shape", SHAPES)
def test_layouts_place_boxes_left_to_right_without_overlaps(engine, shape):
    count, edges = SHAPES[shape]
    rng = random.Random(count)
    nodes = {f"n{i}": (rng.choice([130.0, 190.0, 260.0]), rng.choice([44.0, 62.0])) for i in range(count)}
    started = time.process_time()  # this process only: dot's own time is its business
    placed = layout(nodes, edges, engine=engine, timeout=120)
    assert placed.engine == engine
    assert time.process_time() - started < 2 or under_address_sanitizer()
    assert set(placed.positions) == set(nodes) and not box_overlaps(placed)
    for a, b in edges:  # every dependant right of its upstream
        assert placed.positions[a][0] + nodes[a][0] <= placed.positions[b][0]
    assert all(x >= 0 and y >= 0 and x + nodes[n][0] <= placed.width and y + nodes[n][1] <= placed.height
               for n, (x, y) in placed.positions.items())
    if count <= 6:
        assert crossings(placed, edges) == 0


@pytest.mark.parametrize(
    "statuses, expected",
    [
        (["ok", "skipped", "failed", "cancelled"], "failed"),
        (["ok", "skipped", "cancelled"], "cancelled"),
        (["fresh", "stale", "ok"], "stale"),
        (["fresh", "never", "ok"], "ok"),
        (["never", "fresh"], "fresh"),
        ([], "never"),
    ],
)
def test_an_asset_shows_its_worst_job(statuses, expected):
    assert asset_status(statuses) == expected


def test_a_report_before_any_run_shows_every_asset_never_run():
    assets = [report_asset("a", statuses=("never",)), report_asset("b", partitions=["x", "y"], statuses=("pending",))]
    page = render(report_model(assets, run=False))
    assert "No run yet" in page
    assert re.findall(r'data-status="(\w+)"', page) == ["never", "never"]


def test_user_text_is_escaped_in_the_markup_and_in_the_embedded_data():
    hostile = "<script>alert(1)</script>&\u2028\u2029\x00"
    asset = report_asset("a<0>\"'", label=hostile, statuses=("failed",), error=hostile, traceback=hostile,
                         log="</script><!-- " + hostile)
    asset["dimensions"] = [{"name": hostile, "size": 1}]
    page = render(report_model([asset, report_asset("b", inputs=[(hostile, "a<0>\"'", True)])]))
    assert page.count("<script") == 2 and page.count("</script>") == 2  # the page's own two
    assert "\x00" not in page and "<!-- " not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;&amp;" in page  # the box label and its title
    data = re.search(r'<script type="application/json" id="mervo-data">(.*?)</script>', page, re.S).group(1)
    assert "\u2028" not in data and "\u2029" not in data
    embedded = json.loads(data)["assets"][0]
    assert embedded["label"].startswith("<script>alert(1)</script>&\u2028\u2029")
    assert embedded["failed"][0]["log_tail"].startswith("</script><!-- <script>")
    assert "://" not in page  # nothing on the page is fetched


def big_model(assets, partitions_each, partitioned_every, failing_every, text=""):
    rng = random.Random(3)
    out = []
    for i in range(assets):
        inputs = [("x", f"a{rng.randrange(max(0, i - 30), i)}", i % 3 == 0)] if i else []
        keys = [f"p{k:05d}" for k in range(partitions_each)] if i % partitioned_every == 0 else None
        statuses = ("ok",) * (failing_every - 1) + ("failed",)
        out.append(report_asset(f"a{i}", f"flows.asset_{i}", inputs=inputs, partitions=keys, statuses=statuses,
                                error="KeyError: 'APAC'" + text[:200], traceback=text, log=text))
    return report_model(out)


@pytest.mark.parametrize(
    "shape",
    [
        dict(assets=1, partitions_each=100_000, partitioned_every=1, failing_every=100, text="t" * 5_000),
        dict(assets=1000, partitions_each=1_000, partitioned_every=10, failing_every=7, text="t" * 20_000),
        dict(assets=1000, partitions_each=100, partitioned_every=1, failing_every=1, text="t" * 50_000),
    ],
    ids=["one asset", "1000 assets, 100 partitioned", "everything failed"],
)
def test_size_stays_bounded_at_a_hundred_thousand_partitions(tmp_path, shape):
    model = big_model(**shape)
    started = time.process_time()  # CPU seconds, steady on a busy machine
    path = write_report(model, tmp_path / "report.html", engine="builtin")
    took = time.process_time() - started
    size = path.stat().st_size
    page = path.read_text(encoding="utf-8")
    assert size < 5_000_000, size
    assert took < 5 or under_address_sanitizer(), took
    assert page.count('class="asset ') == shape["assets"]
    assert "data-binned" in page or shape["partitions_each"] <= 300
    assert re.search("shortened|Showing|kept for the first", page)  # capped, and the page says so
    assert not (tmp_path / "report.html.tmp").exists()


BROWSER = find_chromium()


@pytest.fixture(scope="module")
def browser():
    if BROWSER is None:
        print("\nheadless Chromium is absent (Debian package chromium): skipping the browser tests")
        pytest.skip("no chromium on PATH")
    return BROWSER


def test_the_page_in_a_browser_marks_the_failure_and_shows_its_traceback(browser, tmp_path):
    model = example_report_model()
    model["assets"][2]["label"] = "<script>document.title='owned'</script>prices"
    failed = next(a for a in model["assets"] if a["jobs"][0]["status"] == "failed")
    page = write_report(model, tmp_path / "report.html")
    url = page.as_uri() + "#asset=" + quote(failed["id"])  # the page clicks the asset the link names
    dom = chromium(browser, url, "--dump-dom").stdout
    assert 'data-ready="1"' in dom and "<title>mervo — flows</title>" in dom  # the script ran, nothing injected
    for asset in model["assets"]:
        assert f'data-id="{asset["id"]}"' in dom
    marked = re.findall(r'<g class="asset s-failed( selected)?" data-id="(\w+)"', dom)
    assert marked == [(" selected", failed["id"])]
    traceback = re.search(r'<pre class="traceback">(.*?)</pre>', dom, re.S)
    assert traceback and "ValueError: failing on purpose" in traceback.group(1)
    shot = tmp_path / "report.png"
    chromium(browser, url, f"--screenshot={shot}")
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and shot.stat().st_size > 10_000


def test_a_report_of_a_thousand_assets_opens_in_under_two_seconds(browser, tmp_path):
    model = big_model(assets=1000, partitions_each=1_000, partitioned_every=10, failing_every=7, text="t" * 5_000)
    page = write_report(model, tmp_path / "report.html")
    dom = chromium(browser, page.as_uri() + "#asset=a0", "--dump-dom").stdout
    drawn = re.search(r'data-drawn-ms="(\d+)"', dom)
    assert drawn and int(drawn.group(1)) < 2000 and '<pre class="traceback">' in dom


def test_the_bundled_examples_report_after_a_failing_run(browser, tmp_path):
    import shutil
    from pathlib import Path

    from support import mervo

    project = tmp_path / "quickstart"
    shutil.copytree(Path(__file__).parent.parent / "examples" / "quickstart", project,
                    ignore=shutil.ignore_patterns("out", "__pycache__"))
    result = mervo(project, "run", "flows", "--out", "out", env={"MERVO_EXAMPLE_FAIL": "1"})
    assert result.returncode == 1 and f"report: {project / 'out' / 'report.html'}" in result.stdout
    page = (project / "out" / "report.html").read_text()
    failed = re.search(r'class="asset s-failed[^"]*" data-id="(\w+)"', page).group(1)
    dom = chromium(browser, (project / "out" / "report.html").as_uri() + "#asset=" + failed, "--dump-dom").stdout
    for label in ("flows.raw", "flows.processed", "prices", "flows.price_report", "flows.checked", "flows.published"):
        assert label in dom, label
    assert re.findall(r'<g class="asset s-failed( selected)?" data-id="(\w+)"', dom) == [(" selected", failed)]
    traceback = re.search(r'<pre class="traceback">(.*?)</pre>', dom, re.S).group(1)
    assert "flows.py" in traceback and "ValueError: failing on purpose" in traceback

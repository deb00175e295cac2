"""vornix report: the page's content against the run, its refusals, and the
page in a real headless browser."""
import base64
import html.parser
import io
import json
import os

import pytest

from headless_chromium import Browser, chromium_path
from vornix import SpeciesTree, simulate_families
from vornix.cli import main

SPECIES = "(((A:2,B:2)AB:1,(C:1.5,X:0.5)CX:1.5)ABC:1,((D:2.5,E:2.5)DE:1,(F:3,Y:1)FY:0.5)DEF:0.5)root;\n"
ARGS = ["--duplication", "0.3", "--transfer", "0.4", "--loss", "0.3", "--origination", "1", "--seed", "21"]


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.images, self.tags, self.cells, self.urls = [], [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs)
        for key in ("src", "href"):
            if key in attrs:
                self.urls.append(attrs[key])

    def handle_data(self, data):
        if self.tags and self.tags[-1] == "td":
            self.cells.append(data)


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    base = tmp_path_factory.mktemp("report")
    (base / "sp.nwk").write_text(SPECIES)
    out = base / "run"
    assert main(["simulate", str(base / "sp.nwk"), *ARGS, "-q", "--out", str(out)]) == 0
    assert main(["report", str(out), "-q"]) == 0
    return base, out


def test_page_is_self_contained_and_shows_the_run(run_dir):
    base, out = run_dir
    text = (out / "report.html").read_text(encoding="utf-8")
    page = Page()
    page.feed(text)
    assert "script" not in page.tags and "link" not in page.tags and "iframe" not in page.tags
    # Every image is an inline PNG; nothing else is referenced.
    assert all(url.startswith("data:image/png;base64,") for url in page.urls) and page.urls
    for image in page.images:
        assert base64.b64decode(image["src"].split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
    tree = SpeciesTree.read(base / "sp.nwk")
    sim = simulate_families(tree, duplication=0.3, transfer=0.4, loss=0.3, origination=1.0, seed=21)
    record = json.loads((out / "run.json").read_text())
    assert record["results"]["records"] == len(sim.events)
    # The run's arguments, its event counts and the three figures of the
    # whole run, then up to three families, each with its figure.
    cells = [c.strip() for c in page.cells]
    assert "21" in cells and "0.4" in cells
    for letter, n in sim.events.count().items():
        assert f"{n:,}" in cells, letter
    n_families = text.count("<h3>Family ")
    assert 1 <= n_families <= 3 and len(page.images) == 3 + n_families
    assert "Smilodon" not in text and "X" in cells[cells.index("extinct lineages") + 1]


def test_refusals_are_one_line_with_status_2(run_dir, tmp_path, capsys):
    base, out = run_dir
    assert main(["report", str(tmp_path)]) == 2
    assert "run.json" in capsys.readouterr().err
    # The species tree moved: refused, then accepted when given.
    moved = tmp_path / "moved"
    moved.mkdir()
    record = json.loads((out / "run.json").read_text())
    record["species_tree"]["path"] = str(tmp_path / "gone.nwk")
    (moved / "run.json").write_text(json.dumps(record))
    assert main(["report", str(moved)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "--species-tree" in err
    assert main(["report", str(moved), "-q", "--species-tree", str(base / "sp.nwk"), "--families", "1"]) == 0
    assert (moved / "report.html").read_text().count("<h3>Family ") == 1
    # A record that does not repeat (another seed) is refused, not reported.
    record["seed"] = record["arguments"]["seed"] = 22
    (moved / "run.json").write_text(json.dumps(record))
    assert main(["report", str(moved), "--species-tree", str(base / "sp.nwk")]) == 2
    assert "not the" in capsys.readouterr().err


@pytest.mark.skipif(chromium_path() is None, reason="no Chromium installed (Debian: apt-get install chromium)")
def test_page_renders_in_a_headless_browser_with_its_figures(run_dir):
    from PIL import Image

    _, out = run_dir
    with Browser(width=1200, height=900) as browser:
        browser.open((out / "report.html").resolve().as_uri())
        layout = json.loads(browser.evaluate(
            "JSON.stringify({w: document.documentElement.scrollWidth, h: document.documentElement.scrollHeight,"
            " images: Array.from(document.images).map(i => { const r = i.getBoundingClientRect();"
            " return {ok: i.complete && i.naturalWidth > 0, x: r.left + scrollX, y: r.top + scrollY,"
            " w: r.width, h: r.height}; })})"))
        assert browser.errors() == []
        assert all(url.startswith(("file:", "data:")) for url in browser.requests())
        shot = Image.open(io.BytesIO(browser.screenshot(layout["w"], layout["h"]))).convert("RGB")
    assert len(layout["images"]) >= 4 and all(i["ok"] and i["w"] > 300 for i in layout["images"])
    for box in layout["images"]:
        area = shot.crop((int(box["x"]), int(box["y"]), int(box["x"] + box["w"]), int(box["y"] + box["h"])))
        colours = area.getcolors(1 << 24)
        # A drawn figure: many colours, and far from all background.
        background = max(colours)[0]
        assert len(colours) >= 64, box
        assert background < 0.97 * area.width * area.height, box
    if os.environ.get("VORNIX_KEEP_SCREENSHOT"):
        shot.save(os.environ["VORNIX_KEEP_SCREENSHOT"])

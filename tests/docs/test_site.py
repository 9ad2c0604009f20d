"""The documentation site as a browser shows it: build/docs/html (make docs)
served on 127.0.0.1 and opened in headless Chromium. The index, the Python
reference and the performance page must render with their content; the
screenshots stay in build/docs/screenshots/ for a look."""

import functools
import http.server
import subprocess
import threading
from pathlib import Path

import pytest
from bs4 import BeautifulSoup

from zorvane_linalg import _extended, batched
from zorvane_linalg import zorvane_linalg as module

ROOT = Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
SCREENSHOTS = ROOT / "build" / "docs" / "screenshots"
# A blank 1280 x 3000 page compresses to a few kB; a rendered one to far more.
RENDERED_PNG_BYTES = 40_000


class Handler(http.server.SimpleHTTPRequestHandler):
    served: list[tuple[str, int]] = []

    def log_request(self, code="-", size="-"):
        self.served.append((self.path, int(code)))


@pytest.fixture(scope="module")
def site():
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Handler, directory=str(SITE)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


def chromium(*args: str) -> str:
    # As root Chromium runs only without its sandbox.
    command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--window-size=1280,3000", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=120, check=True).stdout


def open_page(site: str, page: str, screenshot: str) -> BeautifulSoup:
    """The page's DOM after Chromium loaded it, and its screenshot."""
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    chromium(f"--screenshot={SCREENSHOTS / screenshot}", site + page)
    assert (SCREENSHOTS / screenshot).stat().st_size > RENDERED_PNG_BYTES, screenshot
    return BeautifulSoup(chromium("--dump-dom", site + page), "html.parser")


def functions(prefix: str, *extensions) -> list[tuple[str, object]]:
    """(documented name, function) of every public function of the modules."""
    return [(f"{prefix}.{name}", value) for extension in extensions
            for name, value in vars(extension).items()
            if type(value).__name__ == "nb_func" and not name.startswith("_")]


def test_index_links_every_page(site):
    dom = open_page(site, "index.html", "index.png")
    assert dom.title.string.startswith("zorvane linear algebra")
    links = {a["href"].split("#")[0] for a in dom.select("a[href]")}
    docs = ROOT / "docs"
    pages = {p.relative_to(docs).with_suffix(".html").as_posix() for p in docs.rglob("*.md")
             if p.parent.name != "results" and p.name != "index.md"}
    assert pages - links == set()


def test_python_reference_lists_every_function_with_its_stub_signature(site):
    dom = open_page(site, "api/python.html", "api-python.png")
    top_level = functions("zorvane_linalg", module, _extended)
    stacked = functions("zorvane_linalg.batched", batched)
    assert len(top_level) == 19 and len(stacked) == 16
    for name, function in top_level + stacked:
        entry = dom.find("dt", id=name)
        assert entry is not None, f"{name} is not on the page"
        summary = function.__nb_signature__[0][1].strip().split("\n")[0]
        assert summary in entry.find_next_sibling("dd").get_text(" "), name
    # The stub's signature, not the docstring's (where solve returns object).
    solve = dom.find("dt", id="zorvane_linalg.solve").get_text("", strip=True).rstrip("#")
    assert solve.startswith("zorvane_linalg.solve(A:") and solve.endswith(
        ")→NDArray[numpy.float64]"), solve


def test_performance_page_shows_its_plot(site):
    Handler.served.clear()
    dom = open_page(site, "performance.html", "performance.png")
    images = [img["src"] for img in dom.select("article img")]
    assert any(src.endswith("2026-12-07.png") for src in images), images
    for src in images:
        assert ("/" + src, 200) in Handler.served, src
    assert dom.find("table") is not None


def test_bench_results_holds_only_figures_a_page_cites():
    text = "\n".join(p.read_text() for p in (ROOT / "docs").rglob("*.md"))
    uncited = [f.name for f in (ROOT / "bench" / "results").iterdir()
               if f"bench/results/{f.name}" not in text]
    assert uncited == []

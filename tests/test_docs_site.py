"""The built documentation site (make docs) as a reader's browser shows it:
every internal link of every page leads to a page and an anchor that exist,
every image is there, and every reference section has content. Headless
Chromium renders the pages and saves screenshots beside them, in
docs/_build/html/_screenshots. Run by `make docs-check`, not by the suites."""

import os
import shutil
import subprocess
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest
from bs4 import BeautifulSoup

import btree
import btreemap

pytestmark = pytest.mark.site

SITE = Path(__file__).resolve().parent.parent / "docs" / "_build" / "html"
SHOTS = SITE / "_screenshots"
REFERENCE = ["reference/btreemap", "reference/btreelist", "reference/btreeset", "reference/views",
             "reference/btree"]
SHOWN = ["index", "getting-started", "coming-from", "threads", "performance", "c-api", "changelog", *REFERENCE]
PNG = b"\x89PNG\r\n\x1a\n"


def built_pages():
    pages = sorted(p for p in SITE.rglob("*.html") if "_static" not in p.parts)
    assert SITE / "index.html" in pages, f"no site in {SITE}: run `make docs`"
    return pages


@pytest.fixture(scope="module")
def chromium():
    path = os.environ.get("CHROMIUM") or shutil.which("chromium")
    if not path:
        pytest.fail("no chromium: `make docs-check` installs it (scripts/chromium.sh)")
    return path


def run_chromium(chromium, *args):
    proc = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           "--virtual-time-budget=1000", *args], capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc.stdout.decode()


@pytest.fixture(scope="module")
def rendered(chromium):
    """The DOM of each shown page once Chromium has run its scripts, and a
    screenshot of it."""
    SHOTS.mkdir(exist_ok=True)
    dom = {}
    for name in SHOWN:
        url = (SITE / f"{name}.html").as_uri()
        shot = SHOTS / f"{name.replace('/', '-')}.png"
        shot.unlink(missing_ok=True)
        run_chromium(chromium, f"--screenshot={shot}", "--window-size=1440,1800", url)
        assert shot.read_bytes().startswith(PNG), f"no screenshot of {name}"
        dom[name] = BeautifulSoup(run_chromium(chromium, "--dump-dom", url), "html.parser")
    return dom


def anchors(soup):
    return {tag["id"] for tag in soup.find_all(id=True)} | {tag["name"] for tag in soup.find_all("a", attrs={"name": True})}


def internal_targets(page, soup):
    """(what, the element's text, the file and fragment it points to) for
    every link, image, stylesheet and script of the page that stays on the site."""
    for tag, attr in (("a", "href"), ("link", "href"), ("img", "src"), ("script", "src")):
        for element in soup.find_all(tag, attrs={attr: True}):
            url = urlsplit(element[attr])
            if url.scheme or url.netloc:
                continue
            target = (page.parent / unquote(url.path)).resolve() if url.path else page
            yield f"<{tag} {attr}={element[attr]!r}>", target, unquote(url.fragment)


def test_every_internal_link_resolves():
    pages = built_pages()
    ids = {}
    broken = []
    for page in pages:
        soup = BeautifulSoup(page.read_text(encoding="utf-8"), "html.parser")
        for what, target, fragment in internal_targets(page, soup):
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file():
                broken.append(f"{page.relative_to(SITE)}: {what}: no file")
                continue
            if fragment and target.suffix == ".html":
                if target not in ids:
                    ids[target] = anchors(BeautifulSoup(target.read_text(encoding="utf-8"), "html.parser"))
                if fragment not in ids[target]:
                    broken.append(f"{page.relative_to(SITE)}: {what}: no anchor #{fragment}")
    assert broken == []


def test_every_image_is_there():
    missing = []
    for page in built_pages():
        soup = BeautifulSoup(page.read_text(encoding="utf-8"), "html.parser")
        for img in soup.find_all("img"):
            path = (page.parent / unquote(img.get("src", ""))).resolve()
            if not path.is_file() or path.stat().st_size == 0:
                missing.append(f"{page.relative_to(SITE)}: {img.get('src')!r}")
    assert missing == []
    assert (SITE / "_images" / "bench.png").read_bytes().startswith(PNG)


def test_rendered_pages_have_their_content(rendered):
    for name, soup in rendered.items():
        article = soup.find("article")
        assert article is not None, name
        assert article.find("h1") is not None and article.find("h1").get_text(strip=True), name
        assert len(article.get_text(" ", strip=True)) > 500, name


def test_reference_sections_are_not_empty(rendered):
    """Each class, method and attribute documented has a description, and each
    section of a reference page holds more than its heading."""
    for name in REFERENCE:
        article = rendered[name].find("article")
        entries = article.select("dl.py")
        assert entries, f"{name}: no reference entries"
        empty = [dl.find("dt").get_text(" ", strip=True) for dl in entries
                 if not dl.find("dd") or not dl.find("dd").get_text(strip=True)]
        assert empty == [], name
        for section in article.find_all("section"):
            heading = section.find(["h1", "h2", "h3"])
            body = section.get_text(" ", strip=True)[len(heading.get_text(" ", strip=True)) if heading else 0:]
            assert body.strip(), f"{name}: empty section {heading.get_text(strip=True) if heading else ''}"


def test_reference_pages_document_every_method(rendered):
    """Every public method of each type has its entry on the type's page."""
    m = btreemap.BTreeMap()
    types = {"reference/btreemap": btreemap.BTreeMap, "reference/btreelist": btreemap.BTreeList,
             "reference/btreeset": btreemap.BTreeSet, "reference/btree": btree.BTree}
    views = [type(view) for view in (m.keys(), m.values(), m.items())]
    for name, cls in [*types.items(), *(("reference/views", view) for view in views)]:
        documented = {dt["id"].rsplit(".", 1)[-1] for dt in rendered[name].select("dl.py dt[id]")}
        public = {n for n in dir(cls) if not n.startswith("_")}
        assert public - documented == set(), f"{name}: {cls.__name__}"

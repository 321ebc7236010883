"""The built documentation site (make docs) as a reader's browser shows it:
every internal link of every page leads to a page and an anchor that exist,
every image is there, and every reference section has content. Headless
Chromium renders the pages and saves screenshots beside them, in
docs/_build/html/_screenshots. Run by `make docs-check`, not by the suites."""

import os
import shutil
import subprocess
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

import btree
import btreemap

pytestmark = pytest.mark.site

SITE = Path(__file__).resolve().parent.parent / "docs" / "_build" / "html"
SHOTS = SITE / "_screenshots"
REFERENCE = ["reference/btreemap", "reference/btreelist", "reference/btreeset", "reference/views",
             "reference/btree"]
SHOWN = ["index", "getting-started", "coming-from", "threads", "performance", "c-api", "changelog", *REFERENCE]
PNG = b"\x89PNG\r\n\x1a\n"
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class Element:
    """An element of a parsed page: its tag, attributes and children
    (elements and strings)."""

    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    def walk(self):
        for child in self.children:
            if isinstance(child, Element):
                yield child
                yield from child.walk()

    def find_all(self, tag=None, cls=None, attr=None):
        return [e for e in self.walk() if (tag is None or e.tag in (tag if isinstance(tag, tuple) else (tag,)))
                and (cls is None or cls in e.attrs.get("class", "").split())
                and (attr is None or e.attrs.get(attr) is not None)]

    def find(self, *args, **kwargs):
        found = self.find_all(*args, **kwargs)
        return found[0] if found else None

    def text(self):
        return " ".join("".join(c if isinstance(c, str) else " " + c.text() + " " for c in self.children).split())


class Page(HTMLParser):
    """A page as a tree of Elements; `parse(html).root` is the document."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = self.current = Element("#document", {}, None)

    def handle_starttag(self, tag, attrs):
        element = Element(tag, attrs, self.current)
        self.current.children.append(element)
        if tag not in VOID:
            self.current = element

    def handle_startendtag(self, tag, attrs):
        self.current.children.append(Element(tag, attrs, self.current))

    def handle_endtag(self, tag):
        open_element = self.current
        while open_element.parent is not None and open_element.tag != tag:
            open_element = open_element.parent
        if open_element.parent is not None:
            self.current = open_element.parent

    def handle_data(self, data):
        self.current.children.append(data)


def parse(html):
    page = Page()
    page.feed(html)
    page.close()
    return page.root


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
        dom[name] = parse(run_chromium(chromium, "--dump-dom", url))
    return dom


def anchors(root):
    return {e.attrs["id"] for e in root.find_all(attr="id")} | {e.attrs["name"] for e in root.find_all("a", attr="name")}


def internal_targets(page, root):
    """(the element, the file and the fragment it points to) for every link,
    image, stylesheet and script of the page that stays on the site."""
    for tag, attr in (("a", "href"), ("link", "href"), ("img", "src"), ("script", "src")):
        for element in root.find_all(tag, attr=attr):
            url = urlsplit(element.attrs[attr])
            if url.scheme or url.netloc:
                continue
            target = (page.parent / unquote(url.path)).resolve() if url.path else page
            yield f"<{tag} {attr}={element.attrs[attr]!r}>", target, unquote(url.fragment)


def test_every_internal_link_resolves():
    pages = built_pages()
    ids = {}
    broken = []
    for page in pages:
        for what, target, fragment in internal_targets(page, parse(page.read_text(encoding="utf-8"))):
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file():
                broken.append(f"{page.relative_to(SITE)}: {what}: no file")
                continue
            if fragment and target.suffix == ".html":
                if target not in ids:
                    ids[target] = anchors(parse(target.read_text(encoding="utf-8")))
                if fragment not in ids[target]:
                    broken.append(f"{page.relative_to(SITE)}: {what}: no anchor #{fragment}")
    assert broken == []


def test_every_image_is_there():
    missing = []
    for page in built_pages():
        for img in parse(page.read_text(encoding="utf-8")).find_all("img"):
            src = img.attrs.get("src") or ""
            path = (page.parent / unquote(src)).resolve()
            if not src or not path.is_file() or path.stat().st_size == 0:
                missing.append(f"{page.relative_to(SITE)}: {src!r}")
    assert missing == []
    for chart in ("bench.png", "bench-family.png"):
        assert (SITE / "_images" / chart).read_bytes().startswith(PNG)


def test_rendered_pages_have_their_content(rendered):
    for name, root in rendered.items():
        article = root.find("article")
        assert article is not None, name
        assert article.find("h1") is not None and article.find("h1").text(), name
        assert len(article.text()) > 500, name


def test_reference_sections_are_not_empty(rendered):
    """Each class, method and attribute documented has a description, and each
    section of a reference page holds more than its heading."""
    for name in REFERENCE:
        article = rendered[name].find("article")
        entries = article.find_all("dl", cls="py")
        assert entries, f"{name}: no reference entries"
        empty = [dl.find("dt").text() for dl in entries if not dl.find("dd") or not dl.find("dd").text()]
        assert empty == [], name
        for section in article.find_all("section"):
            heading = section.find(("h1", "h2", "h3"))
            assert heading is not None and section.text() != heading.text(), \
                f"{name}: empty section {heading.text() if heading else ''}"


def test_reference_pages_document_every_method(rendered):
    """Every public method of each type has its entry on the type's page."""
    m = btreemap.BTreeMap()
    types = {"reference/btreemap": btreemap.BTreeMap, "reference/btreelist": btreemap.BTreeList,
             "reference/btreeset": btreemap.BTreeSet, "reference/btree": btree.BTree}
    views = [type(view) for view in (m.keys(), m.values(), m.items())]
    for name, cls in [*types.items(), *(("reference/views", view) for view in views)]:
        documented = {dt.attrs["id"].rsplit(".", 1)[-1]
                      for dl in rendered[name].find_all("dl", cls="py") for dt in dl.find_all("dt", attr="id")}
        public = {n for n in dir(cls) if not n.startswith("_")}
        assert public - documented == set(), f"{name}: {cls.__name__}"

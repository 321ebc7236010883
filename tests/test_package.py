"""Packaging: `python -m build` makes an sdist and a wheel from it, both carry
what a user needs, and the sdist installs into a fresh virtual environment
where the module, its metadata and its type information work.

Those are slow (two builds and downloads of the build requirements): marked
`package`, run by `make package` and `make test`. The quick checks of what a
release reads (the smoke script of `make wheels` and of the release job, on
the installed build; the one version and its changelog entry) run in the
suite."""

import importlib.metadata
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
SMOKE = ROOT / "scripts" / "smoke.py"
VERSION = re.search(r'^version = "(.+)"$', (ROOT / "pyproject.toml").read_text(), re.M).group(1)


def run(*cmd, cwd, timeout=1200):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=cwd, timeout=timeout)
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def test_smoke_script_passes_on_the_installed_build(tmp_path):
    """Run as a user would: outside the checkout, with the interpreter lock
    left as the modules set it (the script then checks that they keep it off
    on a free-threaded interpreter)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, SMOKE, VERSION], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert proc.returncode == 0 and proc.stdout.startswith(f"ok: quindle-btree {VERSION} "), proc.stdout + proc.stderr


def test_version_is_pyprojects_and_the_changelogs_latest():
    """The version is written once, in pyproject.toml: the installed
    distribution has it, and the changelog's latest release is it."""
    assert importlib.metadata.version("quindle-btree") == VERSION
    headings = re.findall(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert [h for h in headings if h != "Unreleased"][0] == VERSION, headings


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """sdist and wheel made by `python -m build` (the wheel from the sdist)."""
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--outdir", out, ROOT, cwd=out)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def fresh(dist, tmp_path_factory):
    """A new virtual environment with the sdist installed; its python."""
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", venv, cwd=venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", dist[0], cwd=venv)
    return python


@pytest.mark.package
def test_wheel_contents_and_metadata(dist):
    with zipfile.ZipFile(dist[1]) as wheel:
        names = wheel.namelist()
        info = f"quindle_btree-{VERSION}.dist-info"
        meta = Parser().parsestr(wheel.read(f"{info}/METADATA").decode())
    top = sorted(n for n in names if not n.startswith(info))
    assert len(top) == 8 and re.fullmatch(r"btree\.cpython-.*\.so", top[2]), top
    assert re.fullmatch(r"btreemap\.cpython-.*\.so", top[6]), top
    assert top[:2] + top[3:6] + top[7:] == ["btree-stubs/__init__.pyi", "btree-stubs/py.typed", "btree.pyi",
                                             "btreemap-stubs/__init__.pyi", "btreemap-stubs/py.typed", "btreemap.pyi"]
    assert f"{info}/licenses/LICENSE" in names
    assert (meta["Name"], meta["Version"], meta["License-Expression"]) == ("quindle-btree", VERSION, "MIT")
    assert meta["Requires-Python"] == ">=3.10"
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert {f"Programming Language :: Python :: 3.{minor}" for minor in range(10, 14)} <= set(classifiers)
    assert meta["Summary"] and "`btree`" in meta.get_payload()
    urls = dict(url.split(", ", 1) for url in meta.get_all("Project-URL"))
    assert set(urls) == {"Documentation", "Changelog", "Issues", "Source"} and all(url.startswith("https://") for url in urls.values()), urls


@pytest.mark.package
def test_sdist_contents(dist):
    with tarfile.open(dist[0]) as sdist:
        names = {n.split("/", 1)[1] for n in sdist.getnames() if "/" in n}
    for needed in ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "include/btree_capi.h",
                   "src/btree.pyi", "src/py.typed", "src/compat.h", "src/btree/module.cpp",
                   "src/btreemap.pyi", "src/btreemap/module.cpp", "CHANGELOG.md",
                   "scripts/smoke.py"]:
        assert needed in names
    assert not any(n.startswith((".venv", "build/", "bench/results/")) for n in names)


@pytest.mark.package
def test_sdist_installs_and_works_in_a_fresh_environment(fresh, tmp_path):
    assert run(fresh, SMOKE, VERSION, cwd=tmp_path).startswith(f"ok: quindle-btree {VERSION} ")
    for script in sorted(EXAMPLES.glob("*.py")):
        run(fresh, script, cwd=tmp_path)


@pytest.mark.package
def test_type_checkers_find_the_installed_stubs(fresh, tmp_path):
    """mypy run from outside the repository, against the fresh environment."""
    use = tmp_path / "use.py"
    use.write_text("from btree import BTree\nt: BTree[int, str] = BTree()\nreveal_type(t.items())\n")
    out = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", fresh,
              "--cache-dir", tmp_path / ".mypy_cache", use, *sorted(EXAMPLES.glob("*.py")), cwd=tmp_path)
    assert "Iterator[tuple[" in out and "int, " in out and "str]]" in out

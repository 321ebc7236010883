"""Builds the rankstats extension: pip install ./examples/c_client"""

from pathlib import Path

from setuptools import Extension, setup

# btree_capi.h is the single header a client needs; this example takes it from
# the repository, a project of your own keeps a copy of it.
INCLUDE = Path(__file__).resolve().parents[2] / "include"

setup(ext_modules=[Extension("rankstats", ["rankstats.c"], include_dirs=[str(INCLUDE)])])

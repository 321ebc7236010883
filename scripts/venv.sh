#!/usr/bin/env bash
# Usage: venv.sh VENV VERSION [REQUIREMENTS...]
# Creates (once) a virtual environment with CPython VERSION (e.g. 3.13) and
# installs the given requirements files into it.
set -euo pipefail
venv=$1
version=$2
shift 2
if [ ! -x "$venv/bin/python" ]; then
  python=$("$(dirname "$0")/find-python.sh" "$version")
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# hypothesis comes as a wheel: some of its source releases need a Rust
# toolchain to build.
for req in "$@"; do
  "$venv/bin/python" -m pip install -q --only-binary=hypothesis -r "$req"
done

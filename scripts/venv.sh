#!/usr/bin/env bash
# Creates (once) a virtual environment with python3.13 and installs the given
# requirements files into it.
set -euo pipefail
venv=$1
shift
if [ ! -x "$venv/bin/python" ]; then
  python=$("$(dirname "$0")/find-python.sh")
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
for req in "$@"; do
  "$venv/bin/python" -m pip install -q -r "$req"
done

#!/usr/bin/env bash
# Usage: find-python.sh [VERSION]   (VERSION like 3.10; default 3.13)
# Prints the path of a working CPython of that version: pythonVERSION on PATH
# when it runs (a pyenv shim may refuse), else a copy among pyenv's versions.
# Fails with a message when there is none.
set -u
version=${1:-3.13}
works() {
  "$1" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" >/dev/null 2>&1
}
if command -v "python$version" >/dev/null 2>&1 && works "python$version"; then
  command -v "python$version"
  exit 0
fi
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
for root in "${roots[@]}"; do
  for candidate in "$root"/versions/"$version".*/bin/python"$version"; do
    if [ -x "$candidate" ] && works "$candidate"; then
      echo "$candidate"
      exit 0
    fi
  done
done
echo "error: no working python$version found on PATH or among pyenv's versions; install CPython $version with its headers" >&2
exit 1

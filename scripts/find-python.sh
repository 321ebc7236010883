#!/usr/bin/env bash
# Usage: find-python.sh [VERSION] [--no-build]   (VERSION like 3.10, or 3.13t;
# default 3.13)
# Prints the path of a working CPython of that version: pythonVERSION on PATH
# when it runs (a pyenv shim may refuse), else a copy among pyenv's versions.
# Fails with a message when there is none. A free-threaded 3.13t is one whose
# interpreter lock stays off under PYTHON_GIL=0; when there is none, it is
# built once (scripts/free-threaded-python.sh) into the project's cache and
# found there afterwards; --no-build only looks there.
set -u
version=${1:-3.13}
build=${2:-}
number=${version%t}
if [ "$version" != "$number" ]; then
  check="import sys; assert '%d.%d' % sys.version_info[:2] == '$number' and not sys._is_gil_enabled()"
else
  check="import sys, sysconfig; assert '%d.%d' % sys.version_info[:2] == '$number' and not sysconfig.get_config_var('Py_GIL_DISABLED')"
fi
# A regular build refuses to start at all under PYTHON_GIL=0.
works() {
  if [ "$version" != "$number" ]; then
    PYTHON_GIL=0 "$1" -c "$check" >/dev/null 2>&1
  else
    env -u PYTHON_GIL "$1" -c "$check" >/dev/null 2>&1
  fi
}
if command -v "python$version" >/dev/null 2>&1 && works "python$version"; then
  command -v "python$version"
  exit 0
fi
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
for root in "${roots[@]}"; do
  for candidate in "$root"/versions/"$number".*"${version#$number}"/bin/python"$version"; do
    if [ -x "$candidate" ] && works "$candidate"; then
      echo "$candidate"
      exit 0
    fi
  done
done
if [ "$version" = 3.13t ]; then
  prefix=${BTREE_CACHE:-$HOME/.cache/btree}/python-3.13.5t
  if ! works "$prefix/bin/python3.13t" && [ "$build" != --no-build ]; then
    echo "building a free-threaded CPython 3.13 into $prefix (once; about 15 minutes)" >&2
    rm -rf "$prefix"
    "$(dirname "$0")/free-threaded-python.sh" "$prefix" || true
  fi
  if works "$prefix/bin/python3.13t"; then
    echo "$prefix/bin/python3.13t"
    exit 0
  fi
fi
echo "error: no working python$version found on PATH or among pyenv's versions; install CPython $version with its headers" >&2
exit 1

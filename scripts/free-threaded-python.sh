#!/usr/bin/env bash
# Usage: free-threaded-python.sh PREFIX [CONFIGURE_OPTIONS...]
# Builds a free-threaded CPython 3.13.5 into PREFIX, offline but for Debian's
# archive: the upstream tarball comes from the source package python3.13 of
# trixie, fetched through an apt configuration of our own (the machine's
# sources stay as they are). pyenv's recipe builds it when pyenv is present,
# else CPython's own configure does. Extra arguments go to configure (for
# example --with-thread-sanitizer). Needs root for apt-get.
set -euo pipefail
prefix=$1
shift
tarball_sha256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
cache=${BTREE_CACHE:-$HOME/.cache/btree}
work=$cache/python-src
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/download"

tarball=$work/Python-3.13.5.tar.xz
if ! echo "$tarball_sha256  $tarball" | sha256sum -c --status 2>/dev/null; then
  # The archive the machine already uses, read from its own sources.
  uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)[[:space:]]*$/\1/p' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
  if [ -z "$uri" ]; then
    uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\{0,1\}\([^[:space:]]*\/debian\)[[:space:]].*/\2/p' \
      /etc/apt/sources.list 2>/dev/null | head -n1)
  fi
  if [ -z "$uri" ]; then
    echo "error: no Debian archive found in the machine's apt sources" >&2
    exit 1
  fi
  echo "deb-src [trusted=yes] $uri trixie main" > "$work/sources.list"
  apt=(apt-get -q -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::Archives=$work/archives")
  "${apt[@]}" update >&2
  (cd "$work/download" && "${apt[@]}" source --download-only python3.13/trixie >&2)
  cp "$work/download/python3.13_3.13.5.orig.tar.xz" "$tarball"
  echo "$tarball_sha256  $tarball" | sha256sum -c --status || {
    echo "error: python3.13_3.13.5.orig.tar.xz is not CPython 3.13.5's tarball" >&2
    exit 1
  }
fi

jobs=$(nproc 2>/dev/null || echo 2)
build=$(command -v pyenv >/dev/null 2>&1 && echo "$(pyenv root)/plugins/python-build/bin/python-build" || true)
if [ -n "$build" ] && [ -x "$build" ]; then
  PYTHON_BUILD_CACHE_PATH=$work MAKE_OPTS=-j$jobs PYTHON_CONFIGURE_OPTS="$*" "$build" 3.13.5t "$prefix" >&2
else
  src=$(mktemp -d)
  trap 'rm -rf "$src"' EXIT
  tar -xJf "$tarball" -C "$src"
  (cd "$src/Python-3.13.5" && ./configure -q --prefix="$prefix" --disable-gil "$@" >&2 &&
   make -s -j"$jobs" >&2 && make -s install >&2)
fi

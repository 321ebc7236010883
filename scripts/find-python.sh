#!/usr/bin/env bash
# Prints the path of a working CPython 3.13: python3.13 on PATH when it runs
# (a pyenv shim may refuse), else pyenv's own copy. Fails with a message.
set -u
if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
  command -v python3.13
  exit 0
fi
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
for root in "${roots[@]}"; do
  for candidate in "$root"/versions/3.13*/bin/python3.13; do
    if [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      echo "$candidate"
      exit 0
    fi
  done
done
echo "error: no working python3.13 found on PATH or among pyenv's versions; install CPython 3.13 with its headers" >&2
exit 1

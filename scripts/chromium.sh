#!/usr/bin/env bash
# Usage: chromium.sh
# Prints the path of a headless-capable Chromium, installing Debian's
# `chromium` package first when none is on PATH (as root, or through sudo).
set -euo pipefail
if ! command -v chromium >/dev/null 2>&1; then
  sudo=
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "chromium.sh: installing Debian's chromium package" >&2
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q chromium >&2
fi
command -v chromium

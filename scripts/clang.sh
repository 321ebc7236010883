#!/usr/bin/env bash
# Usage: clang.sh
# Makes sure that clang and clang++ with LLVM's C++ library (libc++) can
# build and link a C++20 program, installing Debian's clang, libc++-dev and
# libc++abi-dev when they cannot (apt-get, as root or through sudo). Fails
# with a message when they are still missing.
set -euo pipefail
packages=(clang libc++-dev libc++abi-dev)
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <bit>\n#include <vector>\nint main() { std::vector<unsigned> v{1}; return std::popcount(v[0]) - 1; }\n' \
  > "$probe/probe.cpp"
works() {
  command -v clang >/dev/null 2>&1 &&
    clang++ -std=c++20 -stdlib=libc++ "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 && "$probe/probe"
}
works && exit 0
if ! command -v apt-get >/dev/null 2>&1; then
  echo "error: clang++ cannot build with libc++ here and there is no apt-get; install ${packages[*]}" >&2
  exit 1
fi
if [ "$(id -u)" = 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  echo "error: installing ${packages[*]} needs root (or sudo without a password)" >&2
  exit 1
fi
echo "installing ${packages[*]}" >&2
apt=(apt-get -q -o DPkg::Lock::Timeout=900)
"${as_root[@]}" "${apt[@]}" update >&2
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" "${apt[@]}" install -y --no-install-recommends "${packages[@]}" >&2
if ! works; then
  echo "error: ${packages[*]} are installed, but clang++ -stdlib=libc++ still cannot build a program" >&2
  exit 1
fi

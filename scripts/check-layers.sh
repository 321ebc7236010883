#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own, or when
# the core names a type object of a Python surface. The layers, top down: the
# Python surfaces (src/btree, and any other folder of src/ not listed below),
# then bulk, ops, keys, nodes. Headers at the top of src/ (compat.h) and the
# public header serve every layer.
set -euo pipefail
cd "$(dirname "$0")/../src"
declare -A allowed=(
  [bulk]="bulk ops keys nodes"
  [ops]="ops keys nodes"
  [keys]="keys nodes"
  [nodes]="nodes"
)
status=0
for layer in "${!allowed[@]}"; do
  for file in "$layer"/*; do
    while IFS= read -r header; do
      folder=${header%%/*}
      if [[ $header == */* && " ${allowed[$layer]} " != *" $folder "* ]]; then
        echo "$file includes \"$header\": $layer may include only ${allowed[$layer]}" >&2
        status=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    if grep -Hn '\bBTree[A-Za-z]*Type\b' "$file" >&2; then
      echo "$file names a type object of a Python surface" >&2
      status=1
    fi
  done
done
exit $status

#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own, when
# the core includes the public header or names a type object of a Python
# surface, or when a file outside ops reaches the guard around the entry
# (ops/entry.h). The layers, top down: the Python surfaces (src/btree, and any
# other folder of src/ not listed below), then bulk, ops, keys, nodes. Headers
# at the top of src/ (compat.h) serve every layer; the public header
# (btree_capi.h) serves the surfaces only.
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
      if [[ $header == btree_capi.h ]]; then
        echo "$file includes the public header: the core takes its kinds and texts from the surfaces" >&2
        status=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    if grep -Hn '\bBTree[A-Za-z]*Type\b' "$file" >&2; then
      echo "$file names a type object of a Python surface" >&2
      status=1
    fi
  done
done
for file in */*; do
  if [[ $file != ops/* ]] && grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"ops/guard.h"' "$file" >&2; then
    echo "$file reaches the guard: every access enters through ops/entry.h" >&2
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Formats every C and C++ source in the tree with the project's .clang-format.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   list the files that are not formatted; exit 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || true)}
if [[ -z "$tool" ]]; then
  echo "format: clang-format is not installed" >&2
  exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' '*.hpp')
if [[ "${1:-}" == "--check" ]]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$tool" --style=file "$f" | cmp -s - "$f"; then
      echo "$f"
      bad=1
    fi
  done
  exit $bad
fi
"$tool" --style=file -i "${files[@]}"

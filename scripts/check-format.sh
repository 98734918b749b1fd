#!/usr/bin/env bash
# Fails when clang-format, with the committed style, would change a source file.
set -euo pipefail
cd "$(dirname "$0")/.."
changed=0
while IFS= read -r file; do
  if ! clang-format --style=file "$file" | cmp -s - "$file"; then
    echo "format check: clang-format would change $file (run make format)" >&2
    changed=1
  fi
done < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.c')
exit $changed

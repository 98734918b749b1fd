#!/usr/bin/env bash
# Fails when a product file includes a folder above its own. The layers, lowest
# first: base, service, store, launch, selfupdate, app. A folder may include
# its own and the ones below it; base includes nothing of ours but itself.
# The release tool (publish) runs on Linux and may use base and store.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(base service store launch selfupdate app)
rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

bad=0
check_file() { # file own-folder
  local file=$1 own=$2 line target
  while IFS= read -r line; do
    target=${line#*\"}
    target=${target%%\"*}
    # A name without a folder is a generated header of the build folder.
    [[ "$target" == */* ]] || continue
    target=${target%%/*}
    local r
    r=$(rank "$target")
    if [ "$own" = publish ]; then
      case "$target" in base|store|publish) continue ;; esac
    elif [ "$r" -ge 0 ] && [ "$r" -le "$(rank "$own")" ]; then
      continue
    fi
    echo "layer check: $file includes $target/ (above $own/)" >&2
    bad=1
  done < <(grep -E '^#include "' "$file" || true)
}

while IFS= read -r file; do
  check_file "$file" "${file%%/*}"
done < <(git ls-files -co --exclude-standard -- 'base/*' 'service/*' 'store/*' 'launch/*' \
           'selfupdate/*' 'app/*' 'publish/*' | grep -E '\.(h|cpp|c)$')

exit $bad

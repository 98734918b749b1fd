#!/usr/bin/env bash
# Runs the whole suite under a private X display (GUI tests need one; Wine
# must see it before its first process), then makes sure the prefix's
# wineserver is gone whatever happened.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true
cd "$build"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j2 --timeout 900 "$@"
rc=$?
export WINEPREFIX="$PWD/wineprefix"
source "$top/scripts/wine-prefix.sh"
end_wineserver
exit $rc
